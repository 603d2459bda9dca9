// The broker connection: the client, its callbacks, reconnecting after a loss, publishing and the
// disconnect.
//
// Every operation started on the client library completes on one of the library's threads, which sets
// a flag under pMQTTConnectedMutex and rings a doorbell (an eventfd); the thread that started the
// operation blocks in poll() on it, so no wait spins and every wait can be cut short. No lock of ours is
// held across a call into the library: its callbacks run under the library's own lock and then take
// pMQTTConnectedMutex. Nothing here writes to the console directly (see kestrin_console.h), so a
// stalled console never holds a library thread.
//
// Reconnecting is the bridge's own: after a loss, a thread of its own starts one connect at a time and
// waits for its outcome, at once and then after a short pause that grows to kMaxRetryMs, and stops
// before shutdown disconnects. The library's automatic reconnect came back 2 to 5 s after a broker
// restart and waited its 30 s connect time-out on a broker that accepted TCP and said nothing. A
// connect started from connlost itself raced the library's own handling of the loss (the stale outcome
// of the lost connection reached the new attempt), so attempts are started only from that thread.
#include <MQTTAsync.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>

#include "kestrin_console.h"
#include "kestrin_broker.h"
#include "kestrin_broker_l.h"
#include "kestrin_control.h"
#include "kestrin_deadline.h"
#include "kestrin_health.h"

#ifndef KESTRIN_BROKER_HOST
#define KESTRIN_BROKER_HOST "localhost"
#endif

namespace broker {

// One publish in flight. The client library is handed the topic and document text and reports the
// outcome later, possibly after the worker has stopped waiting, so both live here until then.
struct TPublication {
  std::uint64_t nId = 0;  // the library's callbacks find the record by it, never by its address
  std::string topic;
  std::string out;
  bool bDone = false;       // guarded by pMQTTConnectedMutex
  bool bDelivered = false;  // guarded by pMQTTConnectedMutex
  bool bGivenUp = false;    // the worker no longer waits for it; guarded by pMQTTConnectedMutex
};

namespace {

// The one broker record; the client library's callbacks reach it only through this pointer.
TBroker* gBroker = nullptr;

void Notify(int nEvent) {
  if (TBroker* pBroker = gBroker; pBroker && pBroker->pNotify) pBroker->pNotify(nEvent);
}

constexpr char kServerUri[] = "tcp://" KESTRIN_BROKER_HOST ":1883";
constexpr int kKeepAliveSeconds = 20;
// A broker on the same box comes back within a second of a restart; a longer pause only adds to the
// frames refused meanwhile, and an attempt on a broker that is down costs a refused TCP connect. The
// library itself sends the CONNECT about 1 s after the TCP connection is made (its threads' poll
// interval), so publishing resumes about 1.1 to 1.6 s after the broker is back. A broker that answers
// with a refusal is asked less often.
constexpr int kFirstRetryMs = 100;
constexpr int kMaxRetryMs = 500;
constexpr int kRefusedRetryMs = 2000;
// A reconnect attempt that gets no answer is given up after its time-out, so a broker that accepts TCP
// and says nothing holds up no later attempt for long; but a broker that is only slow to answer (8 s and
// more) must be waited for long enough. So the time-out starts short and doubles after each attempt
// that timed out, up to the last, and starts short again after a success. An attempt refused at once
// (the broker restarting) does not lengthen it.
constexpr int kConnectTimeoutsSeconds[] = {3, 6, 12, 24};
// The disconnect is sent with time-out 0 and completes at once; this only bounds a library that never
// calls back.
constexpr int kDisconnectWaitMs = 10000;
// The broker's answer to a protocol version it does not speak.
constexpr int kRefusedProtocolVersion = 1;
// Publications given up on are remembered for their late outcome up to this many, the oldest dropped.
constexpr std::size_t kMaxUnconfirmed = 100;

// Blocks until flag is set (true), nWakeFd becomes readable or nTimeoutMs passes (false); serves the
// caller's descriptor meanwhile.
bool WaitForFlag(const std::atomic<bool>& flag, const TDoorbell& bell, int nWakeFd, int nTimeoutMs,
                 const TServe* pServe = nullptr) {
  return bell.WaitFor([&] { return flag.load(); }, nTimeoutMs, nWakeFd, pServe);
}

// What a broker's refusal (CONNACK code) means.
const char* RefusalText(int nCode) {
  switch (nCode) {
    case 1: return "unacceptable protocol version";
    case 2: return "client identifier rejected";
    case 3: return "server unavailable";
    case 4: return "bad user name or password";
    case 5: return "not authorised";
    default: return "refused";
  }
}

// Sets the flags of a completion under the mutex, then rings the waiter's doorbell.
template <typename Update>
void Complete(TDoorbell TBroker::*pBell, Update update) {
  TBroker* pMyData = gBroker;
  if (pMyData == nullptr) return;
  SDL_LockMutex(pMyData->pMQTTConnectedMutex);
  update(*pMyData);
  SDL_UnlockMutex(pMyData->pMQTTConnectedMutex);
  if (pBell) (pMyData->*pBell).Ring();
}

void onConnect(void*, MQTTAsync_successData*) {
  try {
    console::Print("Successful connection\n");
    Complete(&TBroker::mainDone, [](TBroker& d) {
      d.MQTTConnected = true;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

void onConnectFailure(void*, MQTTAsync_failureData* response) {
  try {
    const int nCode = response ? response->code : 0;
    console::Warning("Connect failed, rc %d\n", nCode);
    Complete(&TBroker::mainDone, [&](TBroker& d) {
      d.nConnectFailure = nCode;
      d.MQTTConnected = false;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

std::uint64_t IdOf(void* context) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context));
}
int AttemptOf(void* context) { return static_cast<int>(reinterpret_cast<std::intptr_t>(context)); }

// The outcome of one publication: marks it done and lets the list go of it. The worker learns of the one
// it waits for through sendDone; one it has given up on is only counted, and its failure is told with
// the others in one line (a lost connection fails them all at once).
void CompletePublication(void* context, bool bDelivered, int nToken, int nCode) {
  bool bAwaited = false;
  int nLeft = 0;
  Complete(&TBroker::sendDone, [&](TBroker& d) {
    if (bDelivered) d.MQTTSent = true;
    for (auto it = d.publications.begin(); it != d.publications.end(); ++it) {
      if ((*it)->nId != IdOf(context)) continue;
      (*it)->bDone = true;
      (*it)->bDelivered = bDelivered;
      bAwaited = !(*it)->bGivenUp;
      d.publications.erase(it);
      break;
    }
    nLeft = static_cast<int>(d.publications.size()) - (d.pAwaited && !d.pAwaited->bDone ? 1 : 0);
    if (!bAwaited && !bDelivered) ++d.nLateFailures;
    if (!bAwaited) {
      health::SetUnconfirmed(nLeft);
      if (!d.pAwaited) health::SetNotConfirming(nLeft > 0);
    }
    // Queued before the worker can see the outcome (it reads it under this mutex), so the line always
    // comes before its "Published".
    if (bDelivered) {
      console::Debug("Message with token value %d delivery confirmed\n", nToken);
    } else if (bAwaited) {
      console::FrameWarning("Message send failed token %d error code %d\n", nToken, nCode);
    }
  });
  if (bDelivered) health::CountPublished();
  Notify(bDelivered ? control::kEventFramePublished : control::kEventFrameDropped);
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
  if (pBroker == nullptr || IdOf(context) != pBroker->nRetainedId) return;
  pBroker->bRetainedDelivered = bDelivered;
  pBroker->nRetainedDone = IdOf(context);
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

void onDisconnect(void*, MQTTAsync_successData*) {
  try {
    console::Print("Successful disconnection\n");
    Complete(&TBroker::mainDone, [](TBroker& d) {
      d.MQTTConnected = false;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

void onDisconnectFailure(void*, MQTTAsync_failureData*) {
  try {
    console::Warning("Disconnect failed\n");
    Complete(&TBroker::mainDone, [](TBroker& d) { d.MQTTThreadDone = true; });
  } catch (...) {
  }
}

int messageArrived(void*, char* topicName, int, MQTTAsync_message* m) {
  // Nothing is subscribed; free whatever arrives so the library does not keep it.
  MQTTAsync_freeMessage(&m);
  MQTTAsync_free(topicName);
  return 1;
}

void connlost(void*, char* cause) {
  try {
    console::Notice("\nConnection lost, cause: %s; reconnecting...\n", cause ? cause : "(null)");
    if (TBroker* pBroker = gBroker) {
      pBroker->bConnectionLost = true;
      pBroker->reconnect.Ring();
    }
    health::SetBrokerAway(true);
    Notify(control::kEventConnectionLost);
  } catch (...) {
  }
}

// The outcome of a reconnect attempt; one of an earlier attempt is stale and changes nothing.
void AttemptDone(void* context, int nCode) {
  TBroker* pMyData = gBroker;
  if (pMyData == nullptr || AttemptOf(context) != pMyData->nAttempt) return;
  pMyData->nAttemptCode = nCode;
  pMyData->bAttemptDone = true;
  pMyData->attemptDone.Ring();
}

void onReconnect(void* context, MQTTAsync_successData*) {
  try {
    TBroker* pMyData = gBroker;
    if (pMyData == nullptr || AttemptOf(context) != pMyData->nAttempt) return;
    // Said before the worker may publish again, so the line comes before the held frames' lines.
    console::Notice("Reconnected to the broker\n");
    pMyData->bConnectionLost = false;
    pMyData->connectionBack.Ring();
    health::SetBrokerAway(false);
    Notify(control::kEventConnectionBack);
    AttemptDone(context, 0);
  } catch (...) {
  }
}

void onReconnectFailure(void* context, MQTTAsync_failureData* response) {
  try {
    // A failure without a code is still a failure.
    AttemptDone(context, response && response->code != 0 ? response->code : MQTTASYNC_FAILURE);
  } catch (...) {
  }
}

MQTTAsync_connectOptions ConnectOptions(TBroker& d, int nVersion) {
  MQTTAsync_connectOptions conn_opts = MQTTAsync_connectOptions_initializer;
  conn_opts.keepAliveInterval = kKeepAliveSeconds;
  conn_opts.cleansession = 1;
  conn_opts.onSuccess = onConnect;
  conn_opts.onFailure = onConnectFailure;
  conn_opts.context = d.client;
  conn_opts.MQTTVersion = nVersion;
  if (d.bWill) conn_opts.will = &d.will;
  // Start-up and every reconnect log in with the account, if one is configured.
  if (!d.user.empty()) {
    conn_opts.username = d.user.c_str();
    conn_opts.password = d.password.c_str();
  }
  return conn_opts;
}

// Blocks up to nMs, or until a stop of reconnecting; true when stopped.
bool ReconnectPause(TBroker& d, int nMs) {
  return d.stopReconnect.WaitFor([&] { return d.bStopReconnect.load(); }, nMs);
}

// Reconnects after every loss, one attempt at a time. A refusal by the broker is told once, when it
// first appears or changes; other failures (broker away, no answer) are not printed.
int ReconnectMain(void* hInst) {
  TBroker& d = *static_cast<TBroker*>(hInst);
  try {
    int nPauseMs = 0;
    int nToldRefusal = 0;
    std::size_t nTimeout = 0;  // index into kConnectTimeoutsSeconds
    while (!d.bStopReconnect) {
      if (!d.bConnectionLost) {
        nPauseMs = 0;
        nTimeout = 0;
        pollfd fds[2] = {{d.reconnect.Fd(), POLLIN, 0}, {d.stopReconnect.Fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return -1;
        d.reconnect.Drain();
        continue;
      }
      if (nPauseMs > 0 && ReconnectPause(d, nPauseMs)) break;
      nPauseMs = std::min(nPauseMs == 0 ? kFirstRetryMs : 2 * nPauseMs, kMaxRetryMs);

      MQTTAsync_connectOptions conn_opts = ConnectOptions(d, d.nMqttVersion);
      conn_opts.onSuccess = onReconnect;
      conn_opts.onFailure = onReconnectFailure;
      conn_opts.context = reinterpret_cast<void*>(static_cast<std::intptr_t>(++d.nAttempt));
      const int nTimeoutSeconds = kConnectTimeoutsSeconds[nTimeout];
      conn_opts.connectTimeout = nTimeoutSeconds;
      d.bAttemptDone = false;
      d.attemptDone.Drain();
      if (MQTTAsync_connect(d.client, &conn_opts) != MQTTASYNC_SUCCESS) continue;
      health::SetConnecting(true);
      // The library gives the attempt up after its connect time-out; this bounds one that never answers.
      const TDeadline timedOut(nTimeoutSeconds * 1000 - 500);
      const bool bDone =
          WaitForFlag(d.bAttemptDone, d.attemptDone, d.stopReconnect.Fd(), (nTimeoutSeconds + 2) * 1000);
      health::SetConnecting(false);
      if (!bDone || timedOut.Passed())
        nTimeout = std::min(nTimeout + 1, std::size(kConnectTimeoutsSeconds) - 1);
      if (!bDone) continue;
      const int nCode = d.nAttemptCode;
      const int nRefusal = nCode > 0 ? nCode : 0;  // the library's own failures are negative
      if (nRefusal != 0 && nRefusal != nToldRefusal)
        console::Warning("The broker refused the reconnect: %s (code %d); retrying\n", RefusalText(nRefusal),
                       nRefusal);
      nToldRefusal = nRefusal;
      health::SetRefusal(nRefusal);
      if (nRefusal != 0) nPauseMs = kRefusedRetryMs;
    }
  } catch (...) {
  }
  return 0;
}

}  // namespace

const char* Uri() noexcept { return kServerUri; }

void SetWill(ThKestrinBroker hInst, const char* pTopic, const std::string& payload) noexcept {
  try {
    TBroker& d = *static_cast<TBroker*>(hInst);
    d.willTopic = pTopic;
    d.willPayload = payload;
    d.will.topicName = d.willTopic.c_str();
    d.will.message = d.willPayload.c_str();
    d.will.retained = 1;
    d.will.qos = 1;
    d.bWill = true;
  } catch (...) {
  }
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
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = onRetainedSent;
    opts.onFailure = onRetainedFailure;
    opts.context = reinterpret_cast<void*>(static_cast<std::uintptr_t>(nId));
    std::string copy = payload;  // the library copies it before it returns
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = copy.data();
    message.payloadlen = static_cast<int>(copy.size());
    message.qos = 1;
    message.retained = 1;
    if (MQTTAsync_sendMessage(d.client, pTopic, &message, &opts) != MQTTASYNC_SUCCESS) return -1;
    if (nWaitMs <= 0) return 0;
    if (!d.retainedDone.WaitFor([&] { return d.nRetainedDone == nId; }, nWaitMs)) return -2;
    return d.bRetainedDelivered ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

ThKestrinBroker Init(const char* pClientId, const char* pUser, const char* pPassword,
                     void (*pNotify)(int)) noexcept {
  try {
    auto pBroker = std::make_unique<TBroker>();
    TBroker& d = *pBroker;
    if (!d.mainDone.Valid() || !d.sendDone.Valid() || !d.connectionBack.Valid() || !d.reconnect.Valid() ||
        !d.attemptDone.Valid() || !d.stopReconnect.Valid()) {
      console::Perror("eventfd");
      return nullptr;
    }
    std::snprintf(d.clientId, sizeof d.clientId, "%s", pClientId);
    d.user = pUser ? pUser : "";
    d.password = pPassword ? pPassword : "";
    d.pNotify = pNotify;
    d.pMQTTConnectedMutex = SDL_CreateMutex();
    if (d.pMQTTConnectedMutex == nullptr) {
      console::Err("Failed to create mutex: %s\n", SDL_GetError());
      return nullptr;
    }
    int rc = MQTTAsync_create(&d.client, kServerUri, d.clientId, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTASYNC_SUCCESS) {
      console::Err("Failed to create client object, return code %d\n", rc);
      d.client = nullptr;
      Destroy(pBroker.release());
      return nullptr;
    }
    gBroker = &d;
    rc = MQTTAsync_setCallbacks(d.client, d.client, connlost, messageArrived, nullptr);
    if (rc != MQTTASYNC_SUCCESS) {
      console::Err("Failed to set callback, return code %d\n", rc);
      Destroy(pBroker.release());
      return nullptr;
    }
    return pBroker.release();
  } catch (...) {
    return nullptr;
  }
}

void Destroy(ThKestrinBroker hInst) noexcept {
  if (hInst == nullptr) return;
  std::unique_ptr<TBroker> pBroker(static_cast<TBroker*>(hInst));
  StopReconnecting(hInst);
  if (pBroker->client) MQTTAsync_destroy(&pBroker->client);
  if (gBroker == pBroker.get()) gBroker = nullptr;
  if (pBroker->pMQTTConnectedMutex) SDL_DestroyMutex(pBroker->pMQTTConnectedMutex);
}

int ConnectFailure(ThKestrinBroker hInst) noexcept {
  return hInst ? static_cast<TBroker*>(hInst)->nConnectFailure : 0;
}

bool Connected(ThKestrinBroker hInst) noexcept { return !static_cast<TBroker*>(hInst)->bConnectionLost; }
const TDoorbell* Return(ThKestrinBroker hInst) noexcept {
  return &static_cast<TBroker*>(hInst)->connectionBack;
}
const TDoorbell* Completion(ThKestrinBroker hInst) noexcept {
  return &static_cast<TBroker*>(hInst)->sendDone;
}

bool Connect(ThKestrinBroker hInst, int nStopFd, const TServe& serve) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  try {
    d.MQTTConnected = false;
    d.MQTTThreadDone = false;
    // MQTT 3.1.1, and 3.1 only for a broker that refuses 3.1.1. Left to choose, the library also falls
    // back to 3.1 whenever a reconnect attempt fails for any reason, and a reconnect then came back as
    // 3.1 about every other time.
    bool bConnected = false;
    for (int nVersion : {MQTTVERSION_3_1_1, MQTTVERSION_3_1}) {
      MQTTAsync_connectOptions conn_opts = ConnectOptions(d, nVersion);
      d.nMqttVersion = nVersion;
      const int rc = MQTTAsync_connect(d.client, &conn_opts);
      if (rc != MQTTASYNC_SUCCESS) {
        console::Err("Failed to start connect, return code %d\n", rc);
        return false;
      }
      // The library gives up on a connect after its 30 s time-out, so this wait ends; a stop request
      // ends it sooner.
      if (!WaitForFlag(d.MQTTThreadDone, d.mainDone, nStopFd, -1, &serve)) return false;
      d.MQTTThreadDone = false;
      SDL_LockMutex(d.pMQTTConnectedMutex);
      bConnected = d.MQTTConnected;
      const int nRefusal = d.nConnectFailure;
      SDL_UnlockMutex(d.pMQTTConnectedMutex);
      if (bConnected || nRefusal != kRefusedProtocolVersion) break;
    }
    if (!bConnected) {
      console::Warning("MQTT not connected\n");
      return false;
    }
    console::Print("MQTT connected\n");
    return true;
  } catch (...) {
    return false;
  }
}

bool StartReconnecting(ThKestrinBroker hInst) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  d.pReconnectThread = SDL_CreateThread(ReconnectMain, "kestrinreconn", &d);
  if (d.pReconnectThread == nullptr) {
    console::Err("Failed to start thread kestrinreconn: %s\n", SDL_GetError());
    return false;
  }
  return true;
}

void StopReconnecting(ThKestrinBroker hInst) noexcept {
  if (hInst == nullptr) return;
  TBroker& d = *static_cast<TBroker*>(hInst);
  d.bStopReconnect = true;
  d.stopReconnect.Ring();
  if (d.pReconnectThread) SDL_WaitThread(d.pReconnectThread, nullptr);
  d.pReconnectThread = nullptr;
}

std::uint64_t StartPublication(ThKestrinBroker hInst, const char* pTopic, std::string out, int* pRc) noexcept try {
  TBroker& d = *static_cast<TBroker*>(hInst);
  auto pPublication = std::make_shared<TPublication>();
  pPublication->nId = ++d.nLastPublication;
  pPublication->topic = pTopic;
  pPublication->out = std::move(out);

  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  opts.onSuccess = onSend;
  opts.onFailure = onSendFailure;
  opts.context = reinterpret_cast<void*>(static_cast<std::uintptr_t>(pPublication->nId));
  MQTTAsync_message pubmsg = MQTTAsync_message_initializer;
  pubmsg.payload = pPublication->out.data();
  pubmsg.payloadlen = static_cast<int>(pPublication->out.size());
  pubmsg.qos = 1;
  pubmsg.retained = 0;

  // Listed before the library is called: the completion may arrive before MQTTAsync_sendMessage has
  // even returned.
  SDL_LockMutex(d.pMQTTConnectedMutex);
  d.MQTTSent = false;
  d.publications.push_back(pPublication);
  d.pAwaited = pPublication;
  SDL_UnlockMutex(d.pMQTTConnectedMutex);
  *pRc = MQTTAsync_sendMessage(d.client, pPublication->topic.c_str(), &pubmsg, &opts);
  if (*pRc == MQTTASYNC_SUCCESS) return pPublication->nId;
  SDL_LockMutex(d.pMQTTConnectedMutex);
  d.publications.remove(pPublication);
  d.pAwaited.reset();
  SDL_UnlockMutex(d.pMQTTConnectedMutex);
  return 0;
} catch (...) {
  *pRc = MQTTASYNC_FAILURE;
  return 0;
}

int PublicationOutcome(ThKestrinBroker hInst) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  SDL_LockMutex(d.pMQTTConnectedMutex);
  int nOutcome = kPending;
  if (d.pAwaited && d.pAwaited->bDone) {
    nOutcome = d.pAwaited->bDelivered ? kConfirmed : kFailed;
    d.pAwaited.reset();
  }
  SDL_UnlockMutex(d.pMQTTConnectedMutex);
  if (nOutcome != kPending) health::SetNotConfirming(false);
  return nOutcome;
}

int GiveUpPublication(ThKestrinBroker hInst) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  SDL_LockMutex(d.pMQTTConnectedMutex);
  if (d.pAwaited) d.pAwaited->bGivenUp = true;
  d.pAwaited.reset();
  // The oldest given up on are forgotten; a late outcome of one of them finds no record.
  while (d.publications.size() > kMaxUnconfirmed) d.publications.pop_front();
  const int nUnconfirmed = static_cast<int>(d.publications.size());
  SDL_UnlockMutex(d.pMQTTConnectedMutex);
  health::SetUnconfirmed(nUnconfirmed);
  health::SetNotConfirming(true);
  return nUnconfirmed;
}

int TakeLateFailures(ThKestrinBroker hInst) noexcept {
  return static_cast<TBroker*>(hInst)->nLateFailures.exchange(0);
}

void Disconnect(ThKestrinBroker hInst) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
  opts.onSuccess = onDisconnect;
  opts.onFailure = onDisconnectFailure;
  opts.context = d.client;

  SDL_LockMutex(d.pMQTTConnectedMutex);
  d.MQTTThreadDone = false;
  SDL_UnlockMutex(d.pMQTTConnectedMutex);
  d.mainDone.Drain();
  int rc = MQTTAsync_disconnect(d.client, &opts);
  if (rc == MQTTASYNC_DISCONNECTED) {
    console::Print("No connection to the broker to close\n");
    return;
  }
  if (rc != MQTTASYNC_SUCCESS) {
    console::Print("Failed to start disconnect, return code %d\n", rc);
    return;
  }
  WaitForFlag(d.MQTTThreadDone, d.mainDone, -1, kDisconnectWaitMs);
  d.MQTTThreadDone = false;
  console::Print("Disconnected\n");
}

}  // namespace broker
