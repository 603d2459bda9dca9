// The bridge's control layer: start-up with port discovery, and the orderly shutdown. The broker
// connection is a module of its own (kestrin_broker.h), and so is the worker (kestrin_worker.h).
#include "kestrin_control.h"

#include <json/json.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "kestrin_cmdline.h"
#include "kestrin_console.h"
#include "kestrin_control_l.h"
#include "kestrin_credentials.h"
#include "kestrin_deadline.h"
#include "kestrin_health.h"
#include "kestrin_process.h"

namespace control {

namespace {

std::atomic<TWillMaker> gWillMaker{nullptr};

char gStartFailure[200] = "";
// Shutdown waits this long for the publication in flight before it disconnects.
constexpr int kLastPublicationWaitMs = 1000;
// With a journal: how long start-up waits for the broker to grant the ledger topic, and then for its
// retained confirmation (the broker sends it right behind the grant) before the replay starts.
constexpr int kSubscribeWaitMs = 3000;
constexpr int kLedgerWaitMs = 500;
// A ledger lists at most 100 gaps; more are not taken from one confirmation.
constexpr Json::ArrayIndex kMaxGaps = 1000;

// What a failed start-up kept for the next (TInitData::bKeepOnFailure); only start-up's thread.
TMyData* gKept = nullptr;

void SetStartFailure(const char* pFormat, const char* pArgument = "") {
  std::snprintf(gStartFailure, sizeof gStartFailure, pFormat, pArgument);
}

// A broker that answers but will not have the bridge is a matter of accounts, not of the network: say
// which, in the one line a supervisor shows.
std::atomic<int> gStartRefusal{0};
void SetStartRefusal(int nCode) {
  if (nCode != 4 && nCode != 5) return;
  gStartRefusal = nCode;
  const char* pUser = credentials::CredentialUser();
  std::snprintf(gStartFailure, sizeof gStartFailure, "the broker at %s refused %s%s: %s", BrokerUri(),
                *pUser ? "user " : "a client without a user name", pUser,
                nCode == 4 ? "bad user name or password" : "not authorised");
}

// Releases the record and what it still holds, in the order shutdown needs: no callback can come once
// the client is destroyed. Used by shutdown and by a start-up that fails part way.
void ReleaseRecord(TMyData* pMyData) {
  worker::Destroy(pMyData->hWorker);  // nothing uses the link or the broker once it has ended
  broker::Destroy(pMyData->hBroker);  // stops reconnecting first; no ledger message comes after it
  checkpoint::Destroy(pMyData->hCheckpoints);
  chain::Destroy(pMyData->hChain);
  journal::Destroy(pMyData->hJournal);  // writes and syncs what it holds
  transport::Destroy(pMyData->hTrans);
  delete pMyData;
}

// The wheel's journal, named as its topic writes the serial ("42" for 0042), and the ledger's topic.
bool OpenJournal(TMyData& d, const TInitData& init) {
  const char* pDirectory = init.pJournalDirectory;
  journal::TOptions options;
  if (init.nJournalRetentionDays >= 0) options.nRetentionMs = init.nJournalRetentionDays * 24 * 3600 * 1000LL;
  if (init.nJournalBudgetMiB > 0)
    options.nSegments = std::max<int>(2, static_cast<int>((init.nJournalBudgetMiB * (1LL << 20)) / options.nSegmentBytes));
  int nSerial = 0;
  std::sscanf(d.serial_no, "%d", &nSerial);
  const std::string wheel = std::to_string(nSerial);
  d.ledgerTopic = "/rng/roulette/kestrin_live/" + wheel + "/ledger";
  d.hJournal = journal::Init(pDirectory, wheel.c_str(), &options);
  if (d.hJournal == nullptr) {
    SetStartFailure("the journal in %s cannot be used", pDirectory);
    return false;
  }
  if (init.hBoxKey != nullptr) {
    d.hChain = chain::Init(init.hBoxKey, d.hJournal, pDirectory, wheel.c_str());
    if (d.hChain == nullptr) {
      SetStartFailure("the chain of the journal in %s cannot be used", pDirectory);
      return false;
    }
    health::SetSigned(true);
    if (init.hSiteKey != nullptr)
      d.hCheckpoints = checkpoint::Init(init.hSiteKey, d.hChain, pDirectory, wheel.c_str(), d.ledgerTopic.c_str());
  }
  journal::TState state;
  journal::GetState(d.hJournal, &state);
  d.nRunFirstSeq = state.nNextSeq;
  return true;
}

// The descriptor the service manager kept, taken over when it is still the device named, or for
// discovery one of the candidates (whose path goes to pFound); else closed.
ThKestrinTrans AdoptStored(TInitData& init, char* pFound) {
  const int nFd = std::exchange(init.nSerialFd, -1);
  struct stat held {}, named {};
  if (nFd < 0) return nullptr;
  if (fstat(nFd, &held) == 0) {
    for (int i = -1; i < cmdline::kCandidates; ++i) {
      const char* pPath = i < 0 ? init.pSerialFileName : cmdline::kCandidatePorts[i];
      if ((i < 0) == cmdline::IsAuto(init.pSerialFileName)) continue;
      if (stat(pPath, &named) != 0 || named.st_rdev != held.st_rdev) continue;
      std::snprintf(pFound, 100, "%s", pPath);
      return transport::Adopt(nFd, pFound, init.serialOriginal);
    }
  }
  close(nFd);
  return nullptr;
}

// Reads the site's confirmation, retained on the ledger topic, and tells where the replay starts:
// after the site's confirmed seq, or without one on the box, after the last document the box's broker
// acknowledged.
std::uint64_t ReplayStart(TMyData& d) {
  const bool bGranted = broker::Subscribe(d.hBroker, d.ledgerTopic.c_str(), OnLedger, &d, kSubscribeWaitMs,
                                          process::StopDescriptor());
  if (!bGranted)
    console::Warning("The broker did not grant %s: the site's confirmations are not read until a "
                     "reconnect\n", d.ledgerTopic.c_str());
  journal::TState state;
  journal::GetState(d.hJournal, &state);
  // A journal without documents of earlier starts has nothing to publish again: no wait.
  if (bGranted && state.nFirstSeq != 0 && state.nFirstSeq < d.nRunFirstSeq) {
    d.ledgerHeard.WaitFor([&] { return d.bLedgerHeard.load(); }, kLedgerWaitMs, process::StopDescriptor());
    journal::GetState(d.hJournal, &state);
  }
  return d.bLedgerHeard || state.nConfirmed > 0 ? state.nConfirmed : state.nAcknowledged;
}

}  // namespace

void OnLedger(void* pContext, const char* pPayload, int nLength) {
  TMyData& d = *static_cast<TMyData*>(pContext);
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(pPayload, pPayload + nLength, &root, &errors) || !root.isObject() ||
      !root["seq"].isUInt64()) {
    console::Warning("A confirmation on %s that is not a ledger's (no \"seq\"): ignored\n",
                     d.ledgerTopic.c_str());
    return;
  }
  // What the site lacks: its gaps, and what it held before and no longer does (a ledger restored from
  // a copy, a new one): everything after its seq up to the one it had confirmed before. Only the
  // ledger's account may write this topic, so what it asks is trusted; what it releases is only what
  // it confirms.
  const std::uint64_t nSeq = root["seq"].asUInt64();
  journal::TState state;
  journal::GetState(d.hJournal, &state);
  std::vector<TSeqRanges::TRange> lacks;
  // Against the last confirmation (at a start, the one the journal kept): a seq stuck below a gap the
  // journal cannot fill asks for nothing more.
  const std::uint64_t nHad = d.bLedgerHeard ? d.nLedgerSeq.load() : state.nConfirmed;
  if (nSeq < nHad) lacks.push_back({nSeq + 1, nHad});
  const Json::Value& gaps = root["gaps"];
  for (Json::ArrayIndex i = 0; gaps.isArray() && i < gaps.size() && i < kMaxGaps; ++i) {
    const Json::Value& gap = gaps[i];
    if (gap.isArray() && gap.size() == 2 && gap[0].isUInt64() && gap[1].isUInt64() &&
        gap[0].asUInt64() <= gap[1].asUInt64() && gap[0].asUInt64() > nSeq)
      lacks.push_back({gap[0].asUInt64(), gap[1].asUInt64()});
  }
  journal::Confirm(d.hJournal, nSeq);
  if (d.hCheckpoints != nullptr && root["checkpoint"].isString()) {
    const std::string note = root["checkpoint"].asString();
    checkpoint::Take(d.hCheckpoints, note.data(), note.size());
  }
  d.nLedgerSeq = nSeq;
  worker::Refill(d.hWorker, lacks.data(), static_cast<int>(lacks.size()));
  d.bLedgerHeard = true;
  d.ledgerHeard.Ring();
}

ThKestrinTrans ProbePort(const char* Device, int nTimeoutMs, unsigned char* pRecived,
                         unsigned short* pRecivedLength, int nWakeFd, ThKestrinTrans hAdopted) noexcept {
  *pRecivedLength = 0;
  char name[100];
  std::snprintf(name, sizeof name, "%s", Device);
  ThKestrinTrans hTrans = hAdopted != nullptr ? hAdopted : transport::Init(name, 0);
  if (hTrans == nullptr) return nullptr;
  try {
    TDeadline deadline(nTimeoutMs);
    bool bExtended = false;
    for (;;) {
      const int rc =
          transport::ReciveMsgWithin(hTrans, pRecived, pRecivedLength, deadline.PollTimeout(), nWakeFd);
      if (rc == transport::kOk) {
        if (transport::WholeFrame(pRecived)) return hTrans;
        // Another device's sentences can hold a '*' too (NMEA checksums); read on within the bound.
        worker::ReportMalformed(pRecived);
        *pRecivedLength = 0;
      } else if (rc != transport::kTimedOut) {
        break;
      }
      if (deadline.Passed()) {
        // A frame still arriving when the bound runs out may finish; only once, or a port that streams
        // other sentences would hold the probe for ever.
        if (bExtended || !transport::FrameBegun(hTrans)) break;
        bExtended = true;
        deadline = TDeadline(kFrameInTransitMs);
      }
    }
  } catch (...) {
  }
  *pRecivedLength = 0;
  transport::Destroy(hTrans);
  return nullptr;
}

ThKestrinTrans FindPort(const char* const* ppPorts, int nPorts, int nProbeMs, unsigned char* pRecived,
                        unsigned short* pRecivedLength, int nWakeFd, char* pFound) noexcept {
  for (int i = 0; i < nPorts; ++i) {
    if (nWakeFd >= 0) {
      pollfd fd = {nWakeFd, POLLIN, 0};
      if (poll(&fd, 1, 0) > 0) return nullptr;
    }
    ThKestrinTrans hTrans = ProbePort(ppPorts[i], nProbeMs, pRecived, pRecivedLength, nWakeFd);
    if (hTrans != nullptr) {
      std::snprintf(pFound, 100, "%s", ppPorts[i]);
      return hTrans;
    }
  }
  return nullptr;
}

ThKestrinControl Init(TInitData* pInitData) noexcept {
  if (pInitData == nullptr) return nullptr;
  TMyData* pMyData = nullptr;
  SetStartFailure("start-up failed");
  gStartRefusal = 0;
  try {
    // A start-up that failed to connect kept the device, the frames and the journal: only the connect
    // is tried again.
    if (gKept != nullptr) {
      pMyData = std::exchange(gKept, nullptr);
      return Connect(pInitData, pMyData);
    }
    health::Reset();
    pMyData = new TMyData;
    std::memcpy(pMyData->pSerialFileName, pInitData->pSerialFileName, sizeof pMyData->pSerialFileName);
    pMyData->pSerialFileName[sizeof pMyData->pSerialFileName - 1] = '\0';

    const char* pName = pMyData->pSerialFileName;
    unsigned short nLength = 0;
    if (ThKestrinTrans hAdopted = AdoptStored(*pInitData, pMyData->pPortName)) {
      // The wheel's bytes of the restart wait in it; a frame that was cut by the stop is malformed.
      pMyData->hTrans = ProbePort(pMyData->pPortName, cmdline::IsAuto(pName) ? kDiscoveryProbeMs : -1,
                                  pMyData->firstFrame, &nLength, process::StopDescriptor(), hAdopted);
    }
    if (pMyData->hTrans != nullptr) {
      SetStartFailure("no wheel frame from %s", pMyData->pPortName);
    } else if (cmdline::IsAuto(pName)) {
      pMyData->hTrans = FindPort(cmdline::kCandidatePorts, cmdline::kCandidates, kDiscoveryProbeMs,
                                 pMyData->firstFrame, &nLength, process::StopDescriptor(),
                                 pMyData->pPortName);
      SetStartFailure("no wheel frame on any of the candidate ports");
    } else {
      // The wheel may be powered after the bridge: wait for its first well-formed frame as long as it
      // takes.
      pMyData->hTrans = ProbePort(pName, -1, pMyData->firstFrame, &nLength, process::StopDescriptor());
      std::memcpy(pMyData->pPortName, pName, sizeof pMyData->pPortName);
      SetStartFailure("no wheel frame from %s", pName);
    }
    pMyData->nFirstFrameMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    if (process::StopRequested()) SetStartFailure("stopped during start-up");
    if (pMyData->hTrans == nullptr || process::StopRequested()) {
      ReleaseRecord(pMyData);
      return nullptr;
    }
    std::memcpy(pMyData->serial_no, pMyData->firstFrame + 4, 4);
    pMyData->serial_no[4] = '\0';

    pMyData->hBroker =
        broker::Init(pMyData->serial_no, credentials::CredentialUser(), credentials::CredentialPassword(),
                     pInitData->pJournalDirectory != nullptr ? broker::kMqtt5 : broker::kMqtt311);
    if (pMyData->hBroker == nullptr) {
      SetStartFailure("no connection to the broker at %s", BrokerUri());
      ReleaseRecord(pMyData);
      return nullptr;
    }
    if (pInitData->pJournalDirectory != nullptr && !OpenJournal(*pMyData, *pInitData)) {
      ReleaseRecord(pMyData);
      return nullptr;
    }
    if (TWillMaker pMaker = gWillMaker.load()) {
      std::string topic, payload;
      pMaker(pMyData->serial_no, pMyData->pPortName, &topic, &payload);
      broker::SetWill(pMyData->hBroker, topic.c_str(), payload);
    }
    // The worker runs from here on: while the connect waits (the library may wait 30 s for a slow
    // broker) it keeps the wheel's frames in the link, not in the device's small queue, and reopens a
    // device that fails; it publishes once the connect has succeeded.
    worker::TStart start;
    start.hTrans = pMyData->hTrans;
    start.hBroker = pMyData->hBroker;
    start.pPortName = pMyData->pPortName;
    start.pClientId = pMyData->serial_no;
    start.pFirstFrame = pMyData->firstFrame;
    start.nFirstFrameMs = pMyData->nFirstFrameMs;
    start.hJournal = pMyData->hJournal;
    start.hChain = pMyData->hChain;
    pMyData->hWorker = worker::Init(start);
    if (pMyData->hWorker == nullptr) {
      SetStartFailure("the worker could not be started");
      ReleaseRecord(pMyData);
      return nullptr;
    }
    return Connect(pInitData, pMyData);
  } catch (...) {
    if (pMyData) ReleaseRecord(pMyData);
    return nullptr;
  }
}

ThKestrinControl Connect(TInitData* pInitData, TMyData* pMyData) noexcept {
  try {
    health::SetConnecting(true);
    const bool bConnected = broker::Connect(pMyData->hBroker, process::StopDescriptor());
    health::SetConnecting(false);
    if (!bConnected) {
      SetStartFailure(
          process::StopRequested() ? "stopped during start-up" : "no connection to the broker at %s",
          BrokerUri());
      if (!process::StopRequested()) SetStartRefusal(broker::ConnectFailure(pMyData->hBroker));
      if (pInitData->bKeepOnFailure && pMyData->hJournal != nullptr && !process::StopRequested())
        gKept = pMyData;
      else
        ReleaseRecord(pMyData);
      return nullptr;
    }
    if (!broker::StartReconnecting(pMyData->hBroker)) {
      SetStartFailure("the worker could not be started");
      ReleaseRecord(pMyData);
      return nullptr;
    }
    worker::Publish(pMyData->hWorker, pMyData->hJournal != nullptr ? ReplayStart(*pMyData) : 0);
    gStartFailure[0] = '\0';
    return pMyData;
  } catch (...) {
    if (pMyData) ReleaseRecord(pMyData);
    return nullptr;
  }
}

void StopPublishing(ThKestrinControl hInst) noexcept {
  if (hInst == nullptr) return;
  TMyData& d = *static_cast<TMyData*>(hInst);
  if (d.bStoppedPublishing) return;
  d.bStoppedPublishing = true;
  // No reconnect starts once shutdown has begun, and the publication in flight gets its real outcome.
  broker::StopReconnecting(d.hBroker);
  health::SetStopping();
  d.nFramesLeft = worker::StopPublishing(d.hWorker, kLastPublicationWaitMs);
}

void Shutdown(ThKestrinControl hInst) noexcept {
  console::Print("Destroying control layer class instance... ");
  if (hInst == nullptr && gKept != nullptr) {
    // A failed start-up's frames: counted, and kept in the journal for the next start.
    TMyData* pKept = std::exchange(gKept, nullptr);
    health::SetStopping();
    const int nLeft = worker::StopPublishing(pKept->hWorker, 0);
    if (nLeft > 0) console::Warning("%d frames from %s were not published\n", nLeft, pKept->pPortName);
    ReleaseRecord(pKept);
  }
  if (hInst != nullptr) {
    TMyData* pMyData = static_cast<TMyData*>(hInst);
    try {
      StopPublishing(hInst);
      broker::Disconnect(pMyData->hBroker);
      console::Print("kestrin_control: Waiting for thread to finish.\n");
      worker::Destroy(pMyData->hWorker);
      pMyData->hWorker = nullptr;
      console::Print("kestrin_control: Thread terminated.\n");
      // Nothing is discarded without a word: the frames that were not published are counted as lost.
      if (pMyData->nFramesLeft > 0)
        console::Warning("%d frames from %s were not published\n", pMyData->nFramesLeft, pMyData->pPortName);
      ReleaseRecord(pMyData);
    } catch (...) {
    }
  }
  console::Print("done\n");
}

void Drain(ThKestrinControl hInst, int nTimeoutMs) noexcept {
  if (hInst == nullptr) return;
  worker::Drain(static_cast<TMyData*>(hInst)->hWorker, nTimeoutMs);
}

const char* ClientId(ThKestrinControl hInst) noexcept {
  return hInst ? static_cast<TMyData*>(hInst)->serial_no : "";
}

void SetWillMaker(TWillMaker pMaker) noexcept { gWillMaker = pMaker; }

int PublishRetained(ThKestrinControl hInst, const char* pTopic, const std::string& payload,
                    int nWaitMs) noexcept {
  if (hInst == nullptr) return -1;
  return broker::PublishRetained(static_cast<TMyData*>(hInst)->hBroker, pTopic, payload, nWaitMs);
}

const char* StartFailure() noexcept { return gStartFailure; }

const char* BrokerUri() noexcept { return broker::Uri(); }

int SerialDescriptor(ThKestrinControl hInst, termios* pOriginal) noexcept {
  if (hInst == nullptr) return -1;
  const TMyData& d = *static_cast<TMyData*>(hInst);
  if (pOriginal != nullptr) *pOriginal = transport::OriginalSettings(d.hTrans);
  return transport::Descriptor(d.hTrans);
}

void KeepSerialSettings(ThKestrinControl hInst) noexcept {
  if (hInst != nullptr) transport::KeepSettings(static_cast<TMyData*>(hInst)->hTrans);
}

int StartRefusal() noexcept { return gStartRefusal; }

}  // namespace control
