// The bridge's status topic: a small retained JSON document beside the wheel's documents that tells a
// site how the bridge is (its state, since when, its last frame, its counts), with a last will that
// says "offline" for a bridge that vanishes. The service entry publishes it; the console program
// does not. Rendering and timing are pure functions of their inputs; publishing is the caller's.
#pragma once

#include <cstdint>
#include <string>

#include "kestrin_health.h"

namespace status_topic {

// "/rng/roulette/kestrin_live/<serial>/bridgeStatus", the serial written as in the document topic.
std::string Topic(const char* pClientId);

// The document's state is a health state's name (health::StateName), or the will's:
constexpr const char kOffline[] = "offline";

// Who speaks: the box's host name, the wheel's device, the program's version.
struct TIdentity {
  std::string box;
  std::string device;
  std::string version;
};

// The document for pState (a health::StateName) with the figures, made at nNowMs (ms since the
// Unix epoch); times are UTC, ISO 8601.
std::string Document(const char* pState, const health::THealth& health, const TIdentity& identity,
                     std::int64_t nNowMs);

// The will: "offline", who spoke, and no times or counts (the broker sends it when the bridge is gone).
std::string Will(const TIdentity& identity);

// When the document is due: at each change of state, at most once per kMinGapMs, and otherwise every
// kRepeatMs, so that a site sees a hung bridge go stale. Times are a steady clock's, in ms.
constexpr int kMinGapMs = 1000;
constexpr int kRepeatMs = 60000;
struct TSchedule {
  int nSentState = -1;         // the state last sent; -1: none yet
  std::int64_t nSentAtMs = 0;  // when
  bool bResend = true;         // due as soon as the gap allows: nothing sent yet, or the broker lost it
};
// True when the document is due at nNowMs. Otherwise *pWaitMs is how long until it may be (-1: not
// while the state holds: the broker is away and nothing can be sent).
bool Due(TSchedule& schedule, int nState, std::int64_t nNowMs, int* pWaitMs) noexcept;
// Records a publication; one that failed is tried again after the gap.
void Sent(TSchedule& schedule, int nState, std::int64_t nNowMs, bool bOk) noexcept;

}  // namespace status_topic
