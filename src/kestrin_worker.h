// The publishing worker: one loop on a thread of its own that takes the wheel's frames from the serial
// link and publishes their documents through the broker connection (kestrin_worker.cpp tells a frame's
// whole way). Other threads reach it only through the requests below.
#pragma once

#include <cstdint>

#include "kestrin_broker.h"
#include "kestrin_chain.h"
#include "kestrin_journal.h"
#include "kestrin_seq_ranges.h"
#include "kestrin_transport.h"

typedef void* ThKestrinWorker;

namespace worker {

struct TStart {
  ThKestrinTrans hTrans = nullptr;             // the open link; stays the caller's
  ThKestrinBroker hBroker = nullptr;           // the broker connection; stays the caller's
  const char* pPortName = "";                  // the device, for the lines
  const char* pClientId = "";                  // the client identifier, for the lines
  const unsigned char* pFirstFrame = nullptr;  // the frame that accepted the port (42 bytes), or null
  std::int64_t nFirstFrameMs = 0;              // when it came, ms since the Unix epoch; 0: now
  // The wheel's journal; stays the caller's. With one, every whole frame is journaled as it arrives,
  // whatever the phase, and its document carries its seq, epoch and capture time as MQTT 5 user
  // properties. Null: no journal, no properties.
  ThKestrinJournal hJournal = nullptr;
  // With a journal, the wheel's chain (stays the caller's): every document is linked to the one before
  // and carries `prev`, `sig` and `key` too. Null: unsigned documents.
  ThKestrinChain hChain = nullptr;
};

// Starts the worker's thread. Until Publish() it takes no frame: it keeps the device drained and
// watched, and reopens it when it fails, while start-up connects. Null when the thread could not be
// started (the reason has been printed).
ThKestrinWorker Init(const TStart& start) noexcept;

// The start-up connect succeeded: frames are published from now on. With a journal, first its records
// of earlier starts with a seq above nReplayAfter, each once, in order, marked replayed; then this
// start's, the first frame first.
void Publish(ThKestrinWorker hInst, std::uint64_t nReplayAfter = 0) noexcept;

// The site lacks the documents of these seq ranges (its gaps, or what it lost below what it had
// confirmed): with a journal, each that the journal holds is published again as soon as no live
// document waits, marked replayed, once (a range asked again within kRefillAgainSeconds of its
// publication is not); those it no longer holds are said once. Any thread; returns at once.
constexpr int kRefillAgainSeconds = 30;
void Refill(ThKestrinWorker hInst, const TSeqRanges::TRange* pRanges, int nRanges) noexcept;

// Publishes the frames that wait, without the pause between them, for at most nTimeoutMs: until none
// waits, the broker is away or a publication is not confirmed in time.
void Drain(ThKestrinWorker hInst, int nTimeoutMs) noexcept;

// No publication starts after this; the one in flight is waited for, at most nTimeoutMs. Returns the
// frames read and not published (the one in hand, those held for another attempt, those in the link's
// queue), now counted as dropped; a second call returns 0.
int StopPublishing(ThKestrinWorker hInst, int nTimeoutMs) noexcept;

// Stops the thread and releases the record. Null does nothing.
void Destroy(ThKestrinWorker hInst) noexcept;

// Prints the report of a frame that is not well formed, decoded on its own, and the line saying it is
// not published. Discovery's probes use it too.
void ReportMalformed(const unsigned char* pFrame) noexcept;

}  // namespace worker
