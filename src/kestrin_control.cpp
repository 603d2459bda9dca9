// The bridge's control layer: start-up with port discovery, and the orderly shutdown. The broker
// connection is a module of its own (kestrin_broker.h), and so is the worker (kestrin_worker.h).
#include "kestrin_control.h"

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <cstring>

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
  broker::Destroy(pMyData->hBroker);  // stops reconnecting first
  transport::Destroy(pMyData->hTrans);
  delete pMyData;
}

}  // namespace

ThKestrinTrans ProbePort(const char* Device, int nTimeoutMs, unsigned char* pRecived,
                         unsigned short* pRecivedLength, int nWakeFd) noexcept {
  *pRecivedLength = 0;
  char name[100];
  std::snprintf(name, sizeof name, "%s", Device);
  ThKestrinTrans hTrans = transport::Init(name, 0);
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
  health::Reset();
  try {
    pMyData = new TMyData;
    std::memcpy(pMyData->pSerialFileName, pInitData->pSerialFileName, sizeof pMyData->pSerialFileName);
    pMyData->pSerialFileName[sizeof pMyData->pSerialFileName - 1] = '\0';

    const char* pName = pMyData->pSerialFileName;
    unsigned short nLength = 0;
    if (cmdline::IsAuto(pName)) {
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
    if (process::StopRequested()) SetStartFailure("stopped during start-up");
    if (pMyData->hTrans == nullptr || process::StopRequested()) {
      ReleaseRecord(pMyData);
      return nullptr;
    }
    std::memcpy(pMyData->serial_no, pMyData->firstFrame + 4, 4);
    pMyData->serial_no[4] = '\0';

    pMyData->hBroker = broker::Init(pMyData->serial_no, credentials::CredentialUser(),
                                    credentials::CredentialPassword());
    if (pMyData->hBroker == nullptr) {
      SetStartFailure("no connection to the broker at %s", BrokerUri());
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
    pMyData->hWorker = worker::Init(start);
    if (pMyData->hWorker == nullptr) {
      SetStartFailure("the worker could not be started");
      ReleaseRecord(pMyData);
      return nullptr;
    }
    health::SetConnecting(true);
    const bool bConnected = broker::Connect(pMyData->hBroker, process::StopDescriptor());
    health::SetConnecting(false);
    if (!bConnected) {
      SetStartFailure(
          process::StopRequested() ? "stopped during start-up" : "no connection to the broker at %s",
          BrokerUri());
      if (!process::StopRequested()) SetStartRefusal(broker::ConnectFailure(pMyData->hBroker));
      ReleaseRecord(pMyData);
      return nullptr;
    }
    if (!broker::StartReconnecting(pMyData->hBroker)) {
      SetStartFailure("the worker could not be started");
      ReleaseRecord(pMyData);
      return nullptr;
    }
    worker::Publish(pMyData->hWorker);
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

int StartRefusal() noexcept { return gStartRefusal; }

}  // namespace control
