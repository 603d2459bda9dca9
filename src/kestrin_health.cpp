// The health figures behind one lock; the state is derived from the flags, worst first, and remembers
// since when it holds.
#include "kestrin_health.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace health {
namespace {

struct TFlags {
  bool bStarted = false;   // start-up is over
  bool bStopping = false;
  bool bDeviceLost = false;
  bool bBrokerAway = false;
  bool bNotConfirming = false;
  bool bSilent = false;
};

std::mutex gMutex;
THealth gHealth;  // guarded by gMutex
TFlags gFlags;    // guarded by gMutex
std::atomic<void (*)()> gListener{nullptr};

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int StateOf(const TFlags& f, const THealth& h) {
  if (f.bStopping) return kStopping;
  if (!f.bStarted) return h.bConnecting ? kConnecting : kStarting;
  if (f.bDeviceLost) return kDeviceLost;
  if (f.bBrokerAway) return kBrokerAway;
  if (f.bNotConfirming) return kNotConfirming;
  if (h.nBehindSeconds > 0) return kBehind;
  if (f.bSilent) return kSilent;
  return kPublishing;
}

// Applies change under the lock, keeps the state and its time current, and tells the listener when
// anything changed.
template <typename Change>
void Update(Change change) noexcept {
  bool bChanged = false;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    const THealth before = gHealth;
    const TFlags flagsBefore = gFlags;
    change(gHealth, gFlags);
    const int nState = StateOf(gFlags, gHealth);
    if (nState != gHealth.nState) {
      gHealth.nState = nState;
      gHealth.nStateSinceMs = NowMs();
    }
    // The time of the last frame changes with every document, as the count does.
    bChanged = before.bWorkerEnded != gHealth.bWorkerEnded || before.nState != gHealth.nState ||
               before.nPublished != gHealth.nPublished || before.nDropped != gHealth.nDropped ||
               before.nMalformed != gHealth.nMalformed || before.nUnconfirmed != gHealth.nUnconfirmed ||
               before.nBehindSeconds != gHealth.nBehindSeconds ||
               before.nFramesWaiting != gHealth.nFramesWaiting || before.bConnecting != gHealth.bConnecting ||
               before.nRefusal != gHealth.nRefusal || flagsBefore.bSilent != gFlags.bSilent ||
               flagsBefore.bDeviceLost != gFlags.bDeviceLost || flagsBefore.bBrokerAway != gFlags.bBrokerAway ||
               flagsBefore.bNotConfirming != gFlags.bNotConfirming || before.nSeq != gHealth.nSeq ||
               before.nEpoch != gHealth.nEpoch || before.nJournalGivenWay != gHealth.nJournalGivenWay ||
               before.bSigned != gHealth.bSigned || before.nCheckpointSeq != gHealth.nCheckpointSeq ||
               std::strcmp(before.siteDiffers, gHealth.siteDiffers) != 0;
  }
  if (auto pListener = gListener.load(); bChanged && pListener) pListener();
}

}  // namespace

const char* StateName(int nState) noexcept {
  switch (nState) {
    case kPublishing: return "publishing";
    case kSilent: return "wheel silent";
    case kDeviceLost: return "serial device lost";
    case kBehind: return "behind the wheel";
    case kBrokerAway:
    case kNotConfirming: return "broker trouble";
    case kStopping: return "stopped";
    default: return "starting";
  }
}

void Snapshot(THealth* pHealth) noexcept {
  if (pHealth == nullptr) return;
  std::lock_guard<std::mutex> lock(gMutex);
  *pHealth = gHealth;
}

void SetListener(void (*pListener)()) noexcept { gListener = pListener; }

void Reset() noexcept {
  Update([](THealth& h, TFlags& f) {
    h = THealth();
    f = TFlags();
  });
}

void SetConnecting(bool b) noexcept {
  Update([b](THealth& h, TFlags&) { h.bConnecting = b; });
}
void SetRunning() noexcept {
  Update([](THealth&, TFlags& f) { f.bStarted = true; });
}
void SetStopping() noexcept {
  Update([](THealth&, TFlags& f) { f.bStopping = true; });
}
void SetDeviceLost(bool b) noexcept {
  Update([b](THealth&, TFlags& f) { f.bDeviceLost = b; });
}
void SetBrokerAway(bool b) noexcept {
  Update([b](THealth&, TFlags& f) { f.bBrokerAway = b; });
}
void SetRefusal(int nCode) noexcept {
  Update([nCode](THealth& h, TFlags&) { h.nRefusal = nCode; });
}
void SetNotConfirming(bool b) noexcept {
  Update([b](THealth&, TFlags& f) { f.bNotConfirming = b; });
}
void SetUnconfirmed(int n) noexcept {
  Update([n](THealth& h, TFlags&) { h.nUnconfirmed = n; });
}
void SetBehind(long nSeconds) noexcept {
  Update([nSeconds](THealth& h, TFlags&) { h.nBehindSeconds = nSeconds; });
}
void SetSilent(bool b) noexcept {
  Update([b](THealth&, TFlags& f) { f.bSilent = b; });
}
void SetFramesWaiting(int n) noexcept {
  Update([n](THealth& h, TFlags&) { h.nFramesWaiting = n; });
}
void SetWorkerEnded() noexcept {
  Update([](THealth& h, TFlags&) { h.bWorkerEnded = true; });
}
void CountPublished(std::int64_t nCapturedMs) noexcept {
  Update([nCapturedMs](THealth& h, TFlags&) {
    ++h.nPublished;
    h.nLastFrameMs = std::max(h.nLastFrameMs, nCapturedMs);
  });
}
void CountDropped(long n) noexcept {
  Update([n](THealth& h, TFlags&) { h.nDropped += n; });
}
void SetJournal(std::uint64_t nEpoch, long nGivenWay) noexcept {
  Update([=](THealth& h, TFlags&) {
    h.nEpoch = nEpoch;
    h.nJournalGivenWay = nGivenWay;
  });
}
void SetSigned(bool bSigned) noexcept {
  Update([=](THealth& h, TFlags&) { h.bSigned = bSigned; });
}
void SetCheckpoint(std::uint64_t nSeq) noexcept {
  Update([=](THealth& h, TFlags&) { h.nCheckpointSeq = nSeq; });
}
void SetSiteDiffers(const char* pLine) noexcept {
  Update([=](THealth& h, TFlags&) { std::snprintf(h.siteDiffers, sizeof h.siteDiffers, "%s", pLine); });
}
void SetSeq(std::uint64_t nSeq) noexcept {
  Update([nSeq](THealth& h, TFlags&) { h.nSeq = std::max(h.nSeq, nSeq); });
}
void CountNotHeld(long nDocuments) noexcept {
  Update([=](THealth& h, TFlags&) { h.nNotHeld += nDocuments; });
}
void CountMalformed() noexcept {
  Update([](THealth& h, TFlags&) { ++h.nMalformed; });
}

}  // namespace health
