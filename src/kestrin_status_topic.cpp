// The status topic's document and when to send it.
#include "kestrin_status_topic.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace status_topic {
namespace {

// "2026-12-08T19:40:00Z", or null for no time.
Json::Value Utc(std::int64_t nMs) {
  if (nMs <= 0) return Json::Value();
  const std::time_t t = static_cast<std::time_t>(nMs / 1000);
  std::tm tm{};
  char text[32];
  if (gmtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
    return Json::Value();
  return text;
}

Json::Value Identified(const char* pState, const TIdentity& identity) {
  Json::Value root;
  root["state"] = pState;
  root["box"] = identity.box;
  root["device"] = identity.device;
  root["version"] = identity.version;
  return root;
}

}  // namespace

std::string Topic(const char* pClientId) {
  // The client identifier is the frame's serial field, which reads whole as a decimal number; the
  // document topic writes that number.
  int nSerial = 0;
  std::sscanf(pClientId, "%d", &nSerial);
  return "/rng/roulette/kestrin_live/" + std::to_string(nSerial) + "/bridgeStatus";
}

std::string Document(const char* pState, const health::THealth& health, const TIdentity& identity,
                     std::int64_t nNowMs) {
  Json::Value root = Identified(pState, identity);
  root["since"] = Utc(health.nStateSinceMs);
  root["time"] = Utc(nNowMs);
  root["last frame"] = Utc(health.nLastFrameMs);
  root["published"] = static_cast<Json::Int64>(health.nPublished);
  root["dropped"] = static_cast<Json::Int64>(health.nDropped);
  root["malformed"] = static_cast<Json::Int64>(health.nMalformed);
  root["unconfirmed"] = health.nUnconfirmed;
  root["seconds behind"] = static_cast<Json::Int64>(health.nBehindSeconds);
  // The journal's numbering: the last document's seq (0: none yet) and this start's epoch; the
  // documents the full journal dropped before the site had them.
  root["seq"] = static_cast<Json::UInt64>(health.nSeq);
  root["epoch"] = static_cast<Json::UInt64>(health.nEpoch);
  root["journal given way"] = static_cast<Json::Int64>(health.nJournalGivenWay);
  // Signatures: whether the documents carry one, the newest site checkpoint accepted, and what the
  // box says when the site's record differs from what it sent (absent otherwise).
  root["signed"] = health.bSigned;
  root["checkpoint"] = static_cast<Json::UInt64>(health.nCheckpointSeq);
  if (health.siteDiffers[0] != '\0') root["site record"] = health.siteDiffers;
  // Documents the site asked for again that the journal no longer held: lost for good.
  root["not held"] = static_cast<Json::Int64>(health.nNotHeld);
  return root.toStyledString();
}

std::string Will(const TIdentity& identity) { return Identified(kOffline, identity).toStyledString(); }

bool Due(TSchedule& schedule, int nState, std::int64_t nNowMs, int* pWaitMs) noexcept {
  // While the broker is away nothing can be sent, and its will may have spoken for the bridge: the
  // state is sent again as soon as the connection is back.
  if (nState == health::kBrokerAway) {
    schedule.bResend = true;
    *pWaitMs = -1;
    return false;
  }
  const bool bChanged = schedule.bResend || nState != schedule.nSentState;
  const std::int64_t nDue = schedule.nSentAtMs + (bChanged ? kMinGapMs : kRepeatMs);
  if (schedule.nSentState < 0 || nNowMs >= nDue) return true;
  *pWaitMs = static_cast<int>(std::min<std::int64_t>(nDue - nNowMs, kRepeatMs));
  return false;
}

void Sent(TSchedule& schedule, int nState, std::int64_t nNowMs, bool bOk) noexcept {
  schedule.nSentState = nState;
  schedule.nSentAtMs = nNowMs;
  schedule.bResend = !bOk;
}

}  // namespace status_topic
