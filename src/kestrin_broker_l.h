// The broker connection's record; only kestrin_broker.cpp sees it.
#pragma once

#include <MQTTAsync.h>
#include <SDL2/SDL_mutex.h>
#include <SDL2/SDL_thread.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "kestrin_doorbell.h"

namespace broker {

// One publish in flight (kestrin_broker.cpp).
struct TPublication;

struct TBroker {
  MQTTAsync client = nullptr;
  char clientId[5] = {};
  std::string user, password;
  void (*pNotify)(int) = nullptr;
  SDL_mutex* pMQTTConnectedMutex = nullptr;
  bool MQTTSent = false;       // guarded by pMQTTConnectedMutex
  bool MQTTConnected = false;  // guarded by pMQTTConnectedMutex
  int nConnectFailure = 0;     // code of the last failed connect; guarded by pMQTTConnectedMutex
  // Completion of the connect or disconnect that the main thread waits for; set under
  // pMQTTConnectedMutex by the callbacks.
  std::atomic<bool> MQTTThreadDone{false};
  TDoorbell mainDone;  // rung with MQTTThreadDone
  TDoorbell sendDone;  // rung when a publication completes
  // Publications whose outcome has not arrived; guarded by pMQTTConnectedMutex.
  std::list<std::shared_ptr<TPublication>> publications;
  // The publication last started, until its outcome has been read; guarded by pMQTTConnectedMutex.
  std::shared_ptr<TPublication> pAwaited;
  std::uint64_t nLastPublication = 0;
  std::atomic<int> nLateFailures{0};  // publications given up on that failed since last asked
  std::atomic<bool> bConnectionLost{false};  // lost and not yet back
  TDoorbell connectionBack;                  // rung when a reconnect succeeds
  // Reconnecting: one attempt at a time, from a thread of its own.
  int nMqttVersion = 0;  // the version the broker accepted at start-up
  SDL_Thread* pReconnectThread = nullptr;
  std::atomic<bool> bStopReconnect{false};  // shutdown has begun: no new attempt
  std::atomic<int> nAttempt{0};             // the attempt in flight; older callbacks are stale
  std::atomic<bool> bAttemptDone{false};
  std::atomic<int> nAttemptCode{0};  // its failure code; 0: connected
  TDoorbell reconnect;               // rung by a loss and at stop
  TDoorbell attemptDone;             // rung with bAttemptDone
  TDoorbell stopReconnect;           // rung with bStopReconnect
  // The will of every connect (SetWill); the library copies it at each connect.
  bool bWill = false;
  std::string willTopic, willPayload;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  // Retained publications (PublishRetained): the last one's outcome, which its caller may wait for.
  std::atomic<std::uint64_t> nRetainedId{0};
  std::atomic<std::uint64_t> nRetainedDone{0};
  std::atomic<bool> bRetainedDelivered{false};
  TDoorbell retainedDone;
};

}  // namespace broker
