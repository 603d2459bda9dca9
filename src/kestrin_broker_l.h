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

#include "kestrin_doorbell.h"

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
  bool bWill = false;
  std::string willTopic, willPayload;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;

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
// What a broker's refusal (CONNACK code) means.
const char* RefusalText(int nCode);
// A library context that carries a number, and back.
inline void* ContextOf(std::uint64_t n) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(n)); }
inline std::uint64_t NumberOf(void* context) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context));
}
// Publications of a session that was lost can no longer be confirmed: each still in flight fails.
void FailInFlight(TBroker& d);

}  // namespace broker
