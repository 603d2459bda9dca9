// The control layer's record: the handles it owns and start-up's and shutdown's own fields; only the
// control layer and its tests see it. The worker's state is the worker's (kestrin_worker_l.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kestrin_broker.h"
#include "kestrin_chain.h"
#include "kestrin_checkpoint.h"
#include "kestrin_control.h"
#include "kestrin_doorbell.h"
#include "kestrin_journal.h"
#include "kestrin_transport.h"
#include "kestrin_worker.h"

namespace control {

struct TMyData {
  ThKestrinTrans hTrans = nullptr;
  ThKestrinBroker hBroker = nullptr;
  ThKestrinWorker hWorker = nullptr;
  ThKestrinJournal hJournal = nullptr;
  ThKestrinChain hChain = nullptr;              // with the box's key: signs and chains
  ThKestrinCheckpoints hCheckpoints = nullptr;  // with the site's key too: holds the site to its word
  std::uint64_t nRunFirstSeq = 0;  // the seq of this start's first document
  // The site's confirmations on the wheel's ledger topic, from a library thread.
  std::string ledgerTopic;
  std::atomic<bool> bLedgerHeard{false};
  std::atomic<std::uint64_t> nLedgerSeq{0};  // the seq of the last confirmation
  TDoorbell ledgerHeard;
  char pSerialFileName[100] = {};
  unsigned char firstFrame[transport::kFrameLength] = {};  // the frame that accepted the port
  std::int64_t nFirstFrameMs = 0;                           // when it came, ms since the Unix epoch
  char serial_no[5] = {};    // client identifier: the wheel serial characters of the first frame
  char pPortName[100] = {};  // the device actually opened (the one discovery found)
  bool bStoppedPublishing = false;
  int nFramesLeft = 0;       // read and not published, as StopPublishing counted them
};

// Handles one message on the ledger topic: its "seq" confirms the journal up to there; anything else
// is refused with one line.
void OnLedger(void* pContext, const char* pPayload, int nLength);

// Start-up's connect, once the device and the worker run; keeps the record for the next Init when it
// fails and pInitData says so, else releases it.
ThKestrinControl Connect(TInitData* pInitData, TMyData* pMyData) noexcept;

// How long discovery waits for a frame on a candidate that opened.
constexpr int kDiscoveryProbeMs = 3000;
// How much longer a probe waits, once, for a frame begun when its time runs out. The frame itself takes
// 23 ms at 19200 baud and a USB adapter may hold bytes for its 16 ms latency timer.
constexpr int kFrameInTransitMs = 1000;

// Opens Device and waits up to nTimeoutMs (negative: no limit) for a well-formed frame, which lands in
// pRecived; a frame begun when the time runs out may finish (kFrameInTransitMs). Malformed frames read
// meanwhile are reported and skipped. Returns the open link when a well-formed frame came, else null
// with the device closed again and *pRecivedLength 0.
// hAdopted: a link already open on Device (transport::Adopt), probed instead of opening one.
ThKestrinTrans ProbePort(const char* Device, int nTimeoutMs, unsigned char* pRecived,
                         unsigned short* pRecivedLength, int nWakeFd,
                         ThKestrinTrans hAdopted = nullptr) noexcept;

// Probes ppPorts in order, each for at most nProbeMs, and returns the link of the first that delivers a
// well-formed frame; its name is copied to pFound (100 bytes). Null when none did or nWakeFd became readable.
ThKestrinTrans FindPort(const char* const* ppPorts, int nPorts, int nProbeMs, unsigned char* pRecived,
                        unsigned short* pRecivedLength, int nWakeFd, char* pFound) noexcept;

}  // namespace control
