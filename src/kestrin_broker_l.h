// The broker connection's record and what its three files share; only they (and their tests) see it.
#pragma once

#include <MQTTAsync.h>
#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_thread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kestrin_broker.h"
#include "kestrin_doorbell.h"
#include "kestrin_mqtt.h"

namespace broker {

struct TOutcome;  // kestrin_broker.h, which every file of the module includes first

struct TBroker {
  MQTTAsync client = nullptr;
  char clientId[5] = {};
  std::string user, password;
  SDL_mutex* pMutex = nullptr;  // guards what says so; never held across a call into the library

  // The session (kestrin_broker.cpp).
  bool bConnected = false;     // the last connect succeeded; guarded by pMutex
  int nConnectFailure = 0;     // code of the last failed connect; guarded by pMutex
  std::atomic<bool> bSessionDone{false};  // the connect or disconnect that main waits for has completed
  TDoorbell sessionDone;                  // rung with bSessionDone
  std::atomic<bool> bConnectionLost{false};  // lost and not yet back
  int nMqttVersion = 0;  // the version the broker accepted at start-up
  int nWantedVersion = 4;  // kMqtt311 or kMqtt5, as Init was given
  bool bWill = false;
  std::string willTopic, willPayload;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;

  // The subscription (kestrin_broker.cpp), made again after every connect; set before the first.
  std::string subscription;
  TMessageHandler pOnMessage = nullptr;
  void* pMessageContext = nullptr;
  std::atomic<int> nSubscribed{0};  // 1: granted, -1: refused, 0: no answer yet
  TDoorbell subscribed;

  // The publications in flight (kestrin_broker_inflight.cpp): id -> given up on; guarded by pMutex.
  std::map<std::uint64_t, bool> inFlight;
  std::vector<TOutcome> outcomes;  // come and not yet taken; guarded by pMutex
  std::uint64_t nLastPublication = 0;
  TDoorbell events;  // rung with an outcome and when the connection is back
  // Retained publications: the last one's outcome, which its caller may wait for.
  std::atomic<std::uint64_t> nRetainedId{0};
  std::atomic<std::uint64_t> nRetainedDone{0};
  std::atomic<bool> bRetainedDelivered{false};
  TDoorbell retainedDone;

  // Reconnecting (kestrin_broker_reconnect.cpp): one attempt at a time, from a thread of its own.
  SDL_Thread* pReconnectThread = nullptr;
  std::atomic<bool> bStopReconnect{false};  // shutdown has begun: no new attempt
  std::atomic<int> nAttempt{0};             // the attempt in flight; older callbacks are stale
  std::atomic<bool> bAttemptDone{false};
  std::atomic<int> nAttemptCode{0};  // its failure code; 0: connected
  TDoorbell reconnect;               // rung by a loss, an attempt's outcome and the stop
};

// The one broker record; the client library's callbacks reach it only through this pointer.
extern TBroker* gBroker;

// The options of every connect: keep-alive, clean session, the will and the account.
MQTTAsync_connectOptions ConnectOptions(TBroker& d, int nVersion);
// A refusal's CONNACK code as MQTT 3.1.1 numbers it.
int Refusal311(int nCode);
// What a broker's refusal (CONNACK code) means.
const char* RefusalText(int nCode);
// MQTT 5 asks for callbacks of its own: these hand their data on to the 3.1.1 ones, a reason code as
// the code (the first of a subscription's as its QoS).
template <MQTTAsync_onSuccess* pSuccess>
void Success5(void* context, MQTTAsync_successData5* pResponse) {
  MQTTAsync_successData data{};
  if (pResponse != nullptr) {
    data.token = pResponse->token;
    data.alt.qos = pResponse->reasonCode;
  }
  pSuccess(context, pResponse != nullptr ? &data : nullptr);
}
template <MQTTAsync_onFailure* pFailure>
void Failure5(void* context, MQTTAsync_failureData5* pResponse) {
  MQTTAsync_failureData data{};
  if (pResponse != nullptr) {
    data.token = pResponse->token;
    data.code = mqtt::FailureCode(*pResponse);
    data.message = pResponse->message;
  }
  pFailure(context, pResponse != nullptr ? &data : nullptr);
}
// Sets the callbacks of an operation's options for the version spoken.
template <MQTTAsync_onSuccess* pSuccess, MQTTAsync_onFailure* pFailure, typename Options>
void SetCallbacks(Options& options, bool bMqtt5) {
  options.onSuccess = bMqtt5 ? nullptr : pSuccess;
  options.onFailure = bMqtt5 ? nullptr : pFailure;
  options.onSuccess5 = bMqtt5 ? Success5<pSuccess> : nullptr;
  options.onFailure5 = bMqtt5 ? Failure5<pFailure> : nullptr;
}
inline bool Mqtt5(const TBroker& d) { return d.nWantedVersion == MQTTVERSION_5; }

// A library context that carries a number, and back.
inline void* ContextOf(std::uint64_t n) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(n)); }
inline std::uint64_t NumberOf(void* context) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context));
}
// Starts the subscription, if there is one; its answer rings `subscribed`. From any thread.
void StartSubscription(TBroker& d);
// Publications of a session that was lost can no longer be confirmed: each still in flight fails.
void FailInFlight(TBroker& d);

}  // namespace broker
