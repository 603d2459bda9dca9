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
// Reconnecting is the library's own automatic reconnect: it makes one attempt at a time, each after
// the previous one has failed, at most about 3 s apart, and stops with the client. A connect started from
// connlost instead raced the library's own handling of the loss: the library reported the stale
// outcome of the lost connection to the new attempt's callbacks, and a second connect issued while one
// was in flight replaced it.
#include <MQTTAsync.h>
#include <poll.h>

#include <cerrno>

#include "kestrin_console.h"
#include "kestrin_control_l.h"
#include "kestrin_deadline.h"

#ifndef KESTRIN_BROKER_HOST
#define KESTRIN_BROKER_HOST "localhost"
#endif

namespace control {
namespace {

constexpr char kServerUri[] = "tcp://" KESTRIN_BROKER_HOST ":1883";
constexpr int kKeepAliveSeconds = 20;
constexpr int kMinRetrySeconds = 1;
// A broker on the same box comes back within seconds of a restart; a longer pause only adds to the
// frames lost. The library checks its retry timer in steps: measured, 4 and 5 gave 6 s between
// attempts, 3 gives 3 s.
constexpr int kMaxRetrySeconds = 3;
// The disconnect is sent with time-out 0 and completes at once; this only bounds a library that never
// calls back.
constexpr int kDisconnectWaitMs = 10000;
// A publication the broker has not confirmed by then is given up on, so that a lost completion cannot
// stop the worker from reading the line.
constexpr int kPublishWaitMs = 10000;
// The broker's answer to a protocol version it does not speak.
constexpr int kRefusedProtocolVersion = 1;

// Sets the flags of a completion under the mutex, then rings the waiter's doorbell.
template <typename Update>
void Complete(TDoorbell TMyData::*pBell, Update update) {
  TMyData* pMyData = p;
  if (pMyData == nullptr) return;
  LockMutex(pMyData->pMQTTConnectedMutex);
  update(*pMyData);
  UnlockMutex(pMyData->pMQTTConnectedMutex);
  if (pBell) (pMyData->*pBell).Ring();
}

void onConnect(void*, MQTTAsync_successData*) {
  try {
    console::Print("Successful connection\n");
    Complete(&TMyData::mainDone, [](TMyData& d) {
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
    Complete(&TMyData::mainDone, [&](TMyData& d) {
      d.nConnectFailure = nCode;
      d.MQTTConnected = false;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

// The outcome of one publication: marks it done and lets the list go of it. The worker may still hold
// it while it waits, or may have given up on it already.
void CompletePublication(void* context, bool bDelivered) {
  Complete(&TMyData::sendDone, [&](TMyData& d) {
    if (bDelivered) d.MQTTSent = true;
    for (auto it = d.publications.begin(); it != d.publications.end(); ++it) {
      if (it->get() != context) continue;
      (*it)->bDone = true;
      (*it)->bDelivered = bDelivered;
      d.publications.erase(it);
      break;
    }
  });
  Notify(bDelivered ? kEventFramePublished : kEventFrameDropped);
}

void onSend(void* context, MQTTAsync_successData* response) {
  try {
    console::Debug("Message with token value %d delivery confirmed\n", response ? response->token : 0);
    CompletePublication(context, true);
  } catch (...) {
  }
}

void onSendFailure(void* context, MQTTAsync_failureData* response) {
  try {
    console::Warning("Message send failed token %d error code %d\n", response ? response->token : 0,
                   response ? response->code : 0);
    CompletePublication(context, false);
  } catch (...) {
  }
}

void onDisconnect(void*, MQTTAsync_successData*) {
  try {
    console::Print("Successful disconnection\n");
    Complete(&TMyData::mainDone, [](TMyData& d) {
      d.MQTTConnected = false;
      d.MQTTThreadDone = true;
    });
  } catch (...) {
  }
}

void onDisconnectFailure(void*, MQTTAsync_failureData*) {
  try {
    console::Warning("Disconnect failed\n");
    Complete(&TMyData::mainDone, [](TMyData& d) { d.MQTTThreadDone = true; });
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
    if (p) p->bConnectionLost = true;
    Notify(kEventConnectionLost);
  } catch (...) {
  }
}

// Called after every successful connect; only one that ends a loss is worth a line.
void connected(void*, char*) {
  try {
    if (p == nullptr || !p->bConnectionLost.exchange(false)) return;
    console::Notice("Reconnected to the broker\n");
    Notify(kEventConnectionBack);
  } catch (...) {
  }
}

}  // namespace

const char* BrokerUri() noexcept { return kServerUri; }

bool ConnectBroker(TMyData& d, int nStopFd) {
  int rc = MQTTAsync_create(&d.client, kServerUri, d.serial_no, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
  if (rc != MQTTASYNC_SUCCESS) {
    console::Err("Failed to create client object, return code %d\n", rc);
    d.client = nullptr;
    return false;
  }
  rc = MQTTAsync_setCallbacks(d.client, d.client, connlost, messageArrived, nullptr);
  if (rc == MQTTASYNC_SUCCESS) rc = MQTTAsync_setConnected(d.client, d.client, connected);
  if (rc != MQTTASYNC_SUCCESS) {
    console::Err("Failed to set callback, return code %d\n", rc);
    return false;
  }
  d.MQTTConnected = false;
  d.MQTTThreadDone = false;
  d.pMQTTConnectedMutex = SDL_CreateMutex();
  if (d.pMQTTConnectedMutex == nullptr) {
    console::Err("Failed to create mutex: %s\n", SDL_GetError());
    return false;
  }
  p = &d;

  // MQTT 3.1.1, and 3.1 only for a broker that refuses 3.1.1. Left to choose, the library also falls
  // back to 3.1 whenever a reconnect attempt fails for any reason, and a reconnect then came back as
  // 3.1 about every other time.
  bool bConnected = false;
  for (int nVersion : {MQTTVERSION_3_1_1, MQTTVERSION_3_1}) {
    MQTTAsync_connectOptions conn_opts = MQTTAsync_connectOptions_initializer;
    conn_opts.keepAliveInterval = kKeepAliveSeconds;
    conn_opts.cleansession = 1;
    conn_opts.onSuccess = onConnect;
    conn_opts.onFailure = onConnectFailure;
    conn_opts.context = d.client;
    conn_opts.MQTTVersion = nVersion;
    conn_opts.automaticReconnect = 1;
    conn_opts.minRetryInterval = kMinRetrySeconds;
    conn_opts.maxRetryInterval = kMaxRetrySeconds;
    // The library keeps these options for its reconnects, so they carry the account too.
    if (*CredentialUser() != '\0') {
      conn_opts.username = CredentialUser();
      conn_opts.password = CredentialPassword();
    }
    rc = MQTTAsync_connect(d.client, &conn_opts);
    if (rc != MQTTASYNC_SUCCESS) {
      console::Err("Failed to start connect, return code %d\n", rc);
      return false;
    }
    // The library gives up on a connect after its 30 s time-out, so this wait ends; a stop request
    // ends it sooner.
    if (!WaitForFlag(d.MQTTThreadDone, d.mainDone, nStopFd, -1)) return false;
    d.MQTTThreadDone = false;
    MainLockMutex(d.pMQTTConnectedMutex);
    bConnected = d.MQTTConnected;
    const int nRefusal = d.nConnectFailure;
    MainUnlockMutex(d.pMQTTConnectedMutex);
    if (bConnected || nRefusal != kRefusedProtocolVersion) break;
  }
  if (!bConnected) {
    console::Warning("MQTT not connected\n");
    return false;
  }
  console::Print("MQTT connected\n");
  return true;
}

bool Publish(TMyData& d, const std::string& topic, std::string out) {
  auto pPublication = std::make_shared<TPublication>();
  pPublication->topic = topic;
  pPublication->out = std::move(out);

  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  opts.onSuccess = onSend;
  opts.onFailure = onSendFailure;
  opts.context = pPublication.get();
  MQTTAsync_message pubmsg = MQTTAsync_message_initializer;
  pubmsg.payload = pPublication->out.data();
  pubmsg.payloadlen = static_cast<int>(pPublication->out.size());
  pubmsg.qos = 1;
  pubmsg.retained = 0;

  // Listed before the library is called: the completion may arrive before MQTTAsync_sendMessage has
  // even returned.
  MainLockMutex(d.pMQTTConnectedMutex);
  d.MQTTSent = false;
  d.publications.push_back(pPublication);
  MainUnlockMutex(d.pMQTTConnectedMutex);
  int rc = MQTTAsync_sendMessage(d.client, pPublication->topic.c_str(), &pubmsg, &opts);
  if (rc != MQTTASYNC_SUCCESS) {
    MainLockMutex(d.pMQTTConnectedMutex);
    d.publications.remove(pPublication);
    MainUnlockMutex(d.pMQTTConnectedMutex);
    console::Warning("Failed to start sendMessage, return code %d\n", rc);
    Notify(kEventFrameDropped);
    return false;
  }
  console::Debug("Waiting for publication on topic %s for client with ClientID: %s\n", topic.c_str(),
                 d.serial_no);

  const TDeadline deadline(kPublishWaitMs);
  bool bDone = false;
  for (;;) {
    MainLockMutex(d.pMQTTConnectedMutex);
    bDone = pPublication->bDone;
    MainUnlockMutex(d.pMQTTConnectedMutex);
    if (bDone || d.QuitThread || deadline.Passed()) break;
    pollfd fds[2] = {{d.sendDone.Fd(), POLLIN, 0}, {d.quit.Fd(), POLLIN, 0}};
    if (poll(fds, 2, deadline.PollTimeout()) < 0 && errno != EINTR) break;
    d.sendDone.Drain();
  }
  if (bDone) {
    console::Debug("Published\n");
    return pPublication->bDelivered;
  }
  if (!d.QuitThread)
    console::Warning("Delivery of the frame on topic %s not confirmed within %d s; going on with the next frame\n",
                   topic.c_str(), kPublishWaitMs / 1000);
  return false;
}

void DisconnectBroker(TMyData& d) {
  MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
  opts.onSuccess = onDisconnect;
  opts.onFailure = onDisconnectFailure;
  opts.context = d.client;

  MainLockMutex(d.pMQTTConnectedMutex);
  d.MQTTThreadDone = false;
  MainUnlockMutex(d.pMQTTConnectedMutex);
  d.mainDone.Drain();
  int rc = MQTTAsync_disconnect(d.client, &opts);
  if (rc != MQTTASYNC_SUCCESS) {
    console::Print("Failed to start disconnect, return code %d\n", rc);
    return;
  }
  WaitForFlag(d.MQTTThreadDone, d.mainDone, -1, kDisconnectWaitMs);
  d.MQTTThreadDone = false;
  console::Print("Disconnected\n");
}

}  // namespace control
