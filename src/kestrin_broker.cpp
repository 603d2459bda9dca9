// The broker session: the client, its callbacks, the start-up connect, the will and the disconnect.
//
// Every operation started on the client library completes on one of the library's threads, which sets
// a flag and rings a doorbell; the thread that started the operation waits on it (TDoorbell::WaitFor),
// so no wait spins and every wait can be cut short. No lock of ours is held across a call into the
// library: its callbacks run under the library's own lock and then take pMutex. Nothing here writes to
// the console directly (see kestrin_console.h), so a stalled console never holds a library thread.
#include <MQTTAsync.h>

#include <memory>

#include "kestrin_broker.h"
#include "kestrin_broker_l.h"
#include "kestrin_console.h"
#include "kestrin_health.h"

#ifndef KESTRIN_BROKER_HOST
#define KESTRIN_BROKER_HOST "localhost"
#endif

namespace broker {

TBroker* gBroker = nullptr;

namespace {

constexpr char kServerUri[] = "tcp://" KESTRIN_BROKER_HOST ":1883";
constexpr int kKeepAliveSeconds = 20;
// The disconnect is sent with time-out 0 and completes at once; this only bounds a library that never
// calls back.
constexpr int kDisconnectWaitMs = 10000;
// The broker's answer to a protocol version it does not speak.
constexpr int kRefusedProtocolVersion = 1;

// Sets the session's fields under the mutex, then rings the waiter's doorbell.
template <typename Update>
void CompleteSession(Update update) {
  TBroker* pMyData = gBroker;
  if (pMyData == nullptr) return;
  SDL_LockMutex(pMyData->pMutex);
  update(*pMyData);
  SDL_UnlockMutex(pMyData->pMutex);
  pMyData->bSessionDone = true;
  pMyData->sessionDone.Ring();
}

void onConnect(void*, MQTTAsync_successData*) {
  try {
    console::Print("Successful connection\n");
    CompleteSession([](TBroker& d) { d.bConnected = true; });
  } catch (...) {
  }
}

void onConnectFailure(void*, MQTTAsync_failureData* response) {
  try {
    const int nCode = response ? Refusal311(response->code) : 0;
    console::Warning("Connect failed, rc %d\n", nCode);
    CompleteSession([&](TBroker& d) {
      d.nConnectFailure = nCode;
      d.bConnected = false;
    });
  } catch (...) {
  }
}

void onDisconnect(void*, MQTTAsync_successData*) {
  try {
    console::Print("Successful disconnection\n");
    CompleteSession([](TBroker& d) { d.bConnected = false; });
  } catch (...) {
  }
}

void onDisconnectFailure(void*, MQTTAsync_failureData*) {
  try {
    console::Warning("Disconnect failed\n");
    CompleteSession([](TBroker&) {});
  } catch (...) {
  }
}

void onSubscribe(void*, MQTTAsync_successData* response) {
  if (TBroker* pBroker = gBroker) {
    // MQTT 3.1.1 grants with the QoS, and refuses with 0x80 in the same place.
    pBroker->nSubscribed = response != nullptr && response->alt.qos >= 0x80 ? -1 : 1;
    pBroker->subscribed.Ring();
  }
}

void onSubscribeFailure(void*, MQTTAsync_failureData*) {
  if (TBroker* pBroker = gBroker) {
    pBroker->nSubscribed = -1;
    pBroker->subscribed.Ring();
  }
}

int messageArrived(void*, char* topicName, int, MQTTAsync_message* m) {
  // Only the subscription's messages come; whatever arrives is freed so the library does not keep it.
  try {
    TBroker* pBroker = gBroker;
    if (pBroker != nullptr && pBroker->pOnMessage != nullptr && m != nullptr)
      pBroker->pOnMessage(pBroker->pMessageContext, static_cast<const char*>(m->payload), m->payloadlen);
  } catch (...) {
  }
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
  } catch (...) {
  }
}

}  // namespace

int Refusal311(int nCode) {
  // MQTT 5's CONNACK reason codes for the refusals that 3.1.1 knows.
  switch (nCode) {
    case 0x84: return 1;  // unsupported protocol version
    case 0x85: return 2;  // client identifier not valid
    case 0x86: return 4;  // bad user name or password
    case 0x87: return 5;  // not authorised
    case 0x88: return 3;  // server unavailable
    default: return nCode;
  }
}

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

MQTTAsync_connectOptions ConnectOptions(TBroker& d, int nVersion) {
  MQTTAsync_connectOptions conn_opts = MQTTAsync_connectOptions_initializer;
  if (nVersion == MQTTVERSION_5) {
    conn_opts = MQTTAsync_connectOptions_initializer5;
    conn_opts.cleanstart = 1;
  } else {
    conn_opts.cleansession = 1;
  }
  conn_opts.keepAliveInterval = kKeepAliveSeconds;
  SetCallbacks<onConnect, onConnectFailure>(conn_opts, nVersion == MQTTVERSION_5);
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

const char* Uri() noexcept { return kServerUri; }

ThKestrinBroker Init(const char* pClientId, const char* pUser, const char* pPassword, int nVersion) noexcept {
  try {
    auto pBroker = std::make_unique<TBroker>();
    TBroker& d = *pBroker;
    if (!d.sessionDone.Valid() || !d.events.Valid() || !d.reconnect.Valid() || !d.retainedDone.Valid() ||
        !d.subscribed.Valid()) {
      console::Perror("eventfd");
      return nullptr;
    }
    std::snprintf(d.clientId, sizeof d.clientId, "%s", pClientId);
    d.user = pUser ? pUser : "";
    d.password = pPassword ? pPassword : "";
    d.pMutex = SDL_CreateMutex();
    if (d.pMutex == nullptr) {
      console::Err("Failed to create mutex: %s\n", SDL_GetError());
      return nullptr;
    }
    d.nWantedVersion = nVersion == kMqtt5 ? MQTTVERSION_5 : MQTTVERSION_3_1_1;
    // MQTT 5 must be chosen when the client is made; 3.1.1 keeps the plain create.
    MQTTAsync_createOptions createOptions = MQTTAsync_createOptions_initializer5;
    int rc = nVersion == kMqtt5
                 ? MQTTAsync_createWithOptions(&d.client, kServerUri, d.clientId, MQTTCLIENT_PERSISTENCE_NONE,
                                               nullptr, &createOptions)
                 : MQTTAsync_create(&d.client, kServerUri, d.clientId, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
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
  if (pBroker->pMutex) SDL_DestroyMutex(pBroker->pMutex);
}

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

int ConnectFailure(ThKestrinBroker hInst) noexcept {
  return hInst ? static_cast<TBroker*>(hInst)->nConnectFailure : 0;
}

bool Connected(ThKestrinBroker hInst) noexcept { return !static_cast<TBroker*>(hInst)->bConnectionLost; }

const TDoorbell* Events(ThKestrinBroker hInst) noexcept { return &static_cast<TBroker*>(hInst)->events; }

bool Connect(ThKestrinBroker hInst, int nStopFd) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  try {
    // MQTT 3.1.1, and 3.1 only for a broker that refuses 3.1.1. Left to choose, the library also falls
    // back to 3.1 whenever a reconnect attempt fails for any reason, and a reconnect then came back as
    // 3.1 about every other time.
    // MQTT 5 is asked for by the service entry alone, and has no older version to fall back to.
    bool bConnected = false;
    const bool bMqtt5 = d.nWantedVersion == MQTTVERSION_5;
    for (int nVersion : {bMqtt5 ? MQTTVERSION_5 : MQTTVERSION_3_1_1, MQTTVERSION_3_1}) {
      MQTTAsync_connectOptions conn_opts = ConnectOptions(d, nVersion);
      d.nMqttVersion = nVersion;
      d.bSessionDone = false;
      const int rc = MQTTAsync_connect(d.client, &conn_opts);
      if (rc != MQTTASYNC_SUCCESS) {
        console::Err("Failed to start connect, return code %d\n", rc);
        return false;
      }
      // The library gives up on a connect after its 30 s time-out, so this wait ends; a stop request
      // ends it sooner.
      if (!d.sessionDone.WaitFor([&] { return d.bSessionDone.load(); }, -1, nStopFd)) return false;
      SDL_LockMutex(d.pMutex);
      bConnected = d.bConnected;
      const int nRefusal = d.nConnectFailure;
      SDL_UnlockMutex(d.pMutex);
      if (bConnected || bMqtt5 || nRefusal != kRefusedProtocolVersion) break;
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

void StartSubscription(TBroker& d) {
  if (d.subscription.empty()) return;
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  SetCallbacks<onSubscribe, onSubscribeFailure>(opts, Mqtt5(d));
  d.nSubscribed = 0;
  if (MQTTAsync_subscribe(d.client, d.subscription.c_str(), 1, &opts) != MQTTASYNC_SUCCESS) {
    d.nSubscribed = -1;
    d.subscribed.Ring();
  }
}

bool Subscribe(ThKestrinBroker hInst, const char* pTopic, TMessageHandler pOnMessage, void* pContext,
               int nWaitMs, int nStopFd) noexcept {
  try {
    TBroker& d = *static_cast<TBroker*>(hInst);
    d.pOnMessage = pOnMessage;
    d.pMessageContext = pContext;
    d.subscription = pTopic;
    StartSubscription(d);
    return d.subscribed.WaitFor([&] { return d.nSubscribed != 0; }, nWaitMs, nStopFd) && d.nSubscribed > 0;
  } catch (...) {
    return false;
  }
}

void Disconnect(ThKestrinBroker hInst) noexcept {
  TBroker& d = *static_cast<TBroker*>(hInst);
  MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
  SetCallbacks<onDisconnect, onDisconnectFailure>(opts, Mqtt5(d));
  opts.context = d.client;
  d.bSessionDone = false;
  int rc = MQTTAsync_disconnect(d.client, &opts);
  if (rc == MQTTASYNC_DISCONNECTED) {
    console::Print("No connection to the broker to close\n");
    return;
  }
  if (rc != MQTTASYNC_SUCCESS) {
    console::Print("Failed to start disconnect, return code %d\n", rc);
    return;
  }
  d.sessionDone.WaitFor([&] { return d.bSessionDone.load(); }, kDisconnectWaitMs);
  console::Print("Disconnected\n");
}

}  // namespace broker
