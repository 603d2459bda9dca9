// The publications in flight: each is listed under its id before the library is called, and its
// outcome, when the library's callback brings it, is queued for the publisher and rings Events(). The
// publisher may stop waiting for one (GiveUp) or want its outcome no more (Forget); a publication
// still listed when a lost connection comes back fails then, since a new clean session can no longer
// confirm it. Retained publications (the status topic) are waited for on a doorbell of their own.
#include <MQTTAsync.h>

#include <cstring>

#include "kestrin_broker.h"
#include "kestrin_broker_l.h"
#include "kestrin_console.h"
#include "kestrin_mqtt.h"

namespace broker {
namespace {

// The outcome of one publication. The delivery line is queued before the publisher can see the
// outcome (it takes outcomes under the same mutex), so it always comes before its "Published"; a
// failure is told here only for the publication that is waited for: one given up on is the
// publisher's to tell.
void CompletePublication(void* context, bool bDelivered, int nToken, int nCode) {
  TBroker* pMyData = gBroker;
  if (pMyData == nullptr) return;
  TBroker& d = *pMyData;
  SDL_LockMutex(d.pMutex);
  const auto it = d.inFlight.find(NumberOf(context));
  if (it != d.inFlight.end()) {
    if (bDelivered)
      console::Debug("Message with token value %d delivery confirmed\n", nToken);
    else if (!it->second)
      console::FrameWarning("Message send failed token %d error code %d\n", nToken, nCode);
    d.outcomes.push_back({it->first, bDelivered});
    d.inFlight.erase(it);
  }
  SDL_UnlockMutex(d.pMutex);
  d.events.Ring();
}

void onSend(void* context, MQTTAsync_successData* response) {
  try {
    CompletePublication(context, true, response ? response->token : 0, 0);
  } catch (...) {
  }
}

void onSendFailure(void* context, MQTTAsync_failureData* response) {
  try {
    CompletePublication(context, false, response ? response->token : 0, response ? response->code : 0);
  } catch (...) {
  }
}

// The outcome of a retained publication; one older than the last started is no longer waited for.
void RetainedDone(void* context, bool bDelivered) {
  TBroker* pBroker = gBroker;
  if (pBroker == nullptr || NumberOf(context) != pBroker->nRetainedId) return;
  pBroker->bRetainedDelivered = bDelivered;
  pBroker->nRetainedDone = NumberOf(context);
  pBroker->retainedDone.Ring();
}

void onRetainedSent(void* context, MQTTAsync_successData*) {
  try {
    RetainedDone(context, true);
  } catch (...) {
  }
}

void onRetainedFailure(void* context, MQTTAsync_failureData*) {
  try {
    RetainedDone(context, false);
  } catch (...) {
  }
}

// Sends one QoS 1 publication whose outcome goes to pSuccess or pFailure with nId as its context; the
// user properties go with MQTT 5 only. The library's return code.
template <MQTTAsync_onSuccess* pSuccess, MQTTAsync_onFailure* pFailure>
int Send(TBroker& d, const char* pTopic, const std::string& payload, bool bRetained, std::uint64_t nId,
         const TUserProperty* pProperties = nullptr, int nProperties = 0) {
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  SetCallbacks<pSuccess, pFailure>(opts, Mqtt5(d));
  opts.context = ContextOf(nId);
  MQTTAsync_message message = mqtt::Message(payload, bRetained);
  // The list points at the caller's strings: MQTTAsync_sendMessage copies it (MQTTProperties_copy), so
  // a copy of our own (MQTTProperties_add, a few allocations per property) would be made only to be
  // freed again.
  MQTTProperty list[kMaxUserProperties];
  if (Mqtt5(d) && nProperties > 0) {
    if (nProperties > kMaxUserProperties) return MQTTASYNC_FAILURE;
    MQTTProperties& properties = message.properties;
    properties.count = properties.max_count = nProperties;
    properties.array = list;
    for (int i = 0; i < nProperties; ++i) {
      MQTTProperty& property = list[i];
      property = MQTTProperty{};
      property.identifier = MQTTPROPERTY_CODE_USER_PROPERTY;
      property.value.data.data = const_cast<char*>(pProperties[i].pName);
      property.value.data.len = static_cast<int>(std::strlen(pProperties[i].pName));
      property.value.value.data = const_cast<char*>(pProperties[i].pValue);
      property.value.value.len = static_cast<int>(std::strlen(pProperties[i].pValue));
      // Its identifier, then the name and the value, each with a two-byte length.
      properties.length += 1 + 2 + property.value.data.len + 2 + property.value.value.len;
    }
  }
  return MQTTAsync_sendMessage(d.client, pTopic, &message, &opts);
}

}  // namespace

void FailInFlight(TBroker& d) {
  SDL_LockMutex(d.pMutex);
  for (const auto& [nId, bGivenUp] : d.inFlight) d.outcomes.push_back({nId, false});
  d.inFlight.clear();
  SDL_UnlockMutex(d.pMutex);
}

std::uint64_t StartPublication(ThKestrinBroker hInst, const char* pTopic, const std::string& payload,
                               int* pRc, const TUserProperty* pProperties, int nProperties) noexcept try {
  TBroker& d = *static_cast<TBroker*>(hInst);
  const std::uint64_t nId = ++d.nLastPublication;
  // Listed before the library is called: the outcome may come before MQTTAsync_sendMessage returns.
  SDL_LockMutex(d.pMutex);
  d.inFlight.emplace(nId, false);
  SDL_UnlockMutex(d.pMutex);
  *pRc = Send<onSend, onSendFailure>(d, pTopic, payload, false, nId, pProperties, nProperties);
  if (*pRc == MQTTASYNC_SUCCESS) return nId;
  SDL_LockMutex(d.pMutex);
  d.inFlight.erase(nId);
  SDL_UnlockMutex(d.pMutex);
  return 0;
} catch (...) {
  *pRc = MQTTASYNC_FAILURE;
  return 0;
}

void TakeOutcomes(ThKestrinBroker hInst, std::vector<TOutcome>* pOutcomes) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  SDL_LockMutex(d.pMutex);
  try {
    pOutcomes->insert(pOutcomes->end(), d.outcomes.begin(), d.outcomes.end());
    d.outcomes.clear();
  } catch (...) {
  }
  SDL_UnlockMutex(d.pMutex);
}

void GiveUp(ThKestrinBroker hInst, std::uint64_t nId) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  SDL_LockMutex(d.pMutex);
  if (auto it = d.inFlight.find(nId); it != d.inFlight.end()) it->second = true;
  SDL_UnlockMutex(d.pMutex);
}

void Forget(ThKestrinBroker hInst, std::uint64_t nId) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  SDL_LockMutex(d.pMutex);
  d.inFlight.erase(nId);
  SDL_UnlockMutex(d.pMutex);
}

int PublishRetained(ThKestrinBroker hInst, const char* pTopic, const std::string& payload,
                    int nWaitMs) noexcept {
  try {
    TBroker* pBroker = static_cast<TBroker*>(hInst);
    if (pBroker == nullptr || pBroker->client == nullptr || pBroker->bConnectionLost) return -1;
    TBroker& d = *pBroker;
    const std::uint64_t nId = d.nRetainedId + 1;
    d.nRetainedId = nId;
    d.retainedDone.Drain();
    if (Send<onRetainedSent, onRetainedFailure>(d, pTopic, payload, true, nId) != MQTTASYNC_SUCCESS)
      return -1;
    if (nWaitMs <= 0) return 0;
    if (!d.retainedDone.WaitFor([&] { return d.nRetainedDone == nId; }, nWaitMs)) return -2;
    return d.bRetainedDelivered ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

}  // namespace broker

static_assert(broker::kNotConnected == MQTTASYNC_DISCONNECTED, "the library's code for a lost connection");
