#include "ledger_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kestrin_mqtt.h"
#include "ledger_checks.h"
#include "ledger_session_l.h"

namespace ledger {
namespace {

constexpr const char* kTopics[] = {"/rng/roulette/kestrin_live/+/gameStatus",
                                   "/rng/roulette/kestrin_live/+/bridgeStatus"};
// Past the disconnect's own time-out (SessionDisconnect): bounds a library that never calls back.
constexpr int kDisconnectWaitMs = 3000;

std::string Property(MQTTProperties& props, const char* name) {
  for (int i = 0; i < props.count; ++i) {
    const MQTTProperty& p = props.array[i];
    if (p.identifier != MQTTPROPERTY_CODE_USER_PROPERTY) continue;
    if (static_cast<std::size_t>(p.value.data.len) == std::strlen(name) &&
        std::memcmp(p.value.data.data, name, p.value.data.len) == 0)
      return std::string(p.value.value.data, p.value.value.len);
  }
  return {};
}

// A decimal number that reads whole, up to the largest the store keeps; 0 otherwise.
std::uint64_t Number(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  // Past the store's integers: no number, rather than a document that could never be stored.
  const std::uint64_t n = std::strtoull(text.c_str(), nullptr, 10);
  return n > static_cast<std::uint64_t>(INT64_MAX) ? 0 : n;
}

int messageArrived(void* context, char* topicName, int topicLen, MQTTAsync_message* m) {
  TSession& d = *static_cast<TSession*>(context);
  bool freed = false;
  try {
    const std::string topic = topicLen > 0 ? std::string(topicName, topicLen) : std::string(topicName);
    TMessage msg;
    msg.doc.arrivedMs = NowMs();
    int wheel = WheelOfTopic(topic, "gameStatus");
    if (wheel < 0) {
      wheel = WheelOfTopic(topic, "bridgeStatus");
      msg.status = true;
    }
    msg.doc.wheel = static_cast<std::uint32_t>(wheel);
    msg.doc.payload.assign(static_cast<const char*>(m->payload), m->payloadlen);
    if (!msg.status) {
      msg.doc.seq = Number(Property(m->properties, "seq"));
      msg.doc.epoch = Number(Property(m->properties, "epoch"));
      msg.doc.captured = Property(m->properties, "captured");
      msg.doc.replayed = Property(m->properties, "replayed") == "1";
      msg.doc.prev = Property(m->properties, "prev");
      msg.doc.key = Property(m->properties, "key");
      msg.doc.sig = Property(m->properties, "sig");
    }
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topicName);
    freed = true;
    const bool foreign = wheel < 0, unnumbered = !foreign && !msg.status && msg.doc.seq == 0;
    const bool oversize = !foreign && !unnumbered && msg.doc.payload.size() > kMaxDocumentBytes;
    // The commit; the acknowledgement goes when this returns.
    const bool unstored = !foreign && !unnumbered && !oversize && !d.sink.take(d.sink.context, msg);
    if (foreign || unnumbered || unstored || oversize) {
      std::lock_guard<std::mutex> lock(d.mutex);
      d.ignored.foreign += foreign;
      d.ignored.unnumbered += unnumbered;
      d.ignored.unstored += unstored;
      d.ignored.oversize += oversize;
    }
    if (oversize) d.doorbell.Ring();
  } catch (...) {
    if (!freed) {
      MQTTAsync_freeMessage(&m);
      MQTTAsync_free(topicName);
    }
  }
  return 1;
}

void connectionLost(void* context, char*) {
  TSession& d = *static_cast<TSession*>(context);
  d.lost = true;
  d.doorbell.Ring();
}

void onConnect(void* context, MQTTAsync_successData5*) {
  TSession& d = *static_cast<TSession*>(context);
  d.connectOk = true;
  d.connectDone = true;
  d.doorbell.Ring();
}

void onConnectFailure(void* context, MQTTAsync_failureData5* response) {
  TSession& d = *static_cast<TSession*>(context);
  d.connectCode = response ? mqtt::FailureCode(*response) : 0;
  d.connectOk = false;
  d.connectDone = true;
  d.doorbell.Ring();
}

// A refused subscription is told by the main thread (SessionService); nothing here may block.
void onSubscribe(void* context, MQTTAsync_successData5* response) {
  TSession& d = *static_cast<TSession*>(context);
  for (int i = 0; response && i < response->alt.sub.reasonCodeCount; ++i)
    if (response->alt.sub.reasonCodes[i] >= 0x80) d.subscribeRefused = response->alt.sub.reasonCodes[i];
  if (response && response->alt.sub.reasonCodeCount == 0 && response->reasonCode >= 0x80)
    d.subscribeRefused = response->reasonCode;
  d.subscribed = true;
  d.doorbell.Ring();
}

void onSubscribeFailure(void* context, MQTTAsync_failureData5* response) {
  TSession& d = *static_cast<TSession*>(context);
  d.subscribeRefused = response && response->reasonCode ? static_cast<int>(response->reasonCode) : -1;
  d.doorbell.Ring();
}

// A confirmation's outcome: room for the next one. A failed one is made again with the next commit
// of its wheel, or with the next connect.
void onPublished(void* context, MQTTAsync_successData5*) {
  TSession& d = *static_cast<TSession*>(context);
  --d.inflight;
  d.doorbell.Ring();
}
void onPublishFailure(void* context, MQTTAsync_failureData5*) { onPublished(context, nullptr); }

void onDisconnect(void* context, MQTTAsync_successData5*) {
  TSession& d = *static_cast<TSession*>(context);
  d.disconnected = true;
  d.doorbell.Ring();
}

void onDisconnectFailure(void* context, MQTTAsync_failureData5*) { onDisconnect(context, nullptr); }

bool StartConnect(TSession& d) {
  MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer5;
  // The session and its subscriptions stay at the broker while the ledger is away (a restart, an
  // upgrade), so the documents published meanwhile wait there for it.
  opts.cleanstart = 0;
  opts.keepAliveInterval = d.options.keepAliveSeconds;
  opts.connectTimeout = 10;
  MQTTProperty expiry;
  expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
  expiry.value.integer4 = static_cast<unsigned int>(d.options.sessionExpirySeconds);
  MQTTProperty largest;
  largest.identifier = MQTTPROPERTY_CODE_MAXIMUM_PACKET_SIZE;
  largest.value.integer4 = kMaxPacketBytes;
  MQTTProperties props = MQTTProperties_initializer;
  MQTTProperties_add(&props, &expiry);
  MQTTProperties_add(&props, &largest);
  opts.connectProperties = &props;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  if (!d.options.willTopic.empty()) {
    will.topicName = d.options.willTopic.c_str();
    will.message = d.options.willPayload.c_str();
    will.qos = 1;
    will.retained = 1;
    opts.will = &will;
  }
  if (!d.options.user.empty()) {
    opts.username = d.options.user.c_str();
    opts.password = d.options.password.c_str();
  }
  opts.onSuccess5 = onConnect;
  opts.onFailure5 = onConnectFailure;
  opts.context = &d;
  d.connectDone = false;
  const int rc = MQTTAsync_connect(d.client, &opts);
  MQTTProperties_free(&props);
  return rc == MQTTASYNC_SUCCESS;
}

void Subscribe(TSession& d) {
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  MQTTSubscribe_options each[2] = {MQTTSubscribe_options_initializer, MQTTSubscribe_options_initializer};
  // Retained status topics again only for a new subscription, not at every reconnect.
  for (auto& o : each) o.retainHandling = 1;
  opts.subscribeOptionsCount = 2;
  opts.subscribeOptionsList = each;
  opts.onSuccess5 = onSubscribe;
  opts.onFailure5 = onSubscribeFailure;
  opts.context = &d;
  int qos[2] = {1, 1};
  char* topics[2] = {const_cast<char*>(kTopics[0]), const_cast<char*>(kTopics[1])};
  const int rc = MQTTAsync_subscribeMany(d.client, 2, topics, qos, &opts);
  if (rc != MQTTASYNC_SUCCESS) std::printf("Cannot subscribe (code %d)\n", rc);
}

void Retry(TSession& d, std::int64_t nowMs, int code, const char* what) {
  if (code != d.lastFailure || d.retrySeconds == 1)
    std::printf("%s the broker at %s (code %d); trying again every few seconds\n", what, d.options.uri.c_str(),
                code);
  d.lastFailure = code;
  d.link = TLink::kWaiting;
  d.retryAtMs = nowMs + d.retrySeconds * 1000LL;
  d.retrySeconds = std::min(d.retrySeconds * 2, 8);
}

}  // namespace

int WheelOfTopic(const std::string& topic, const char* leaf) {
  static const std::string kPrefix = "/rng/roulette/kestrin_live/";
  if (topic.compare(0, kPrefix.size(), kPrefix) != 0) return -1;
  const std::size_t slash = topic.find('/', kPrefix.size());
  if (slash == std::string::npos || topic.compare(slash + 1, std::string::npos, leaf) != 0) return -1;
  const std::string serial = topic.substr(kPrefix.size(), slash - kPrefix.size());
  if (serial.empty() || serial.size() > 4 || serial.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::atoi(serial.c_str());
}

ThLedgerSession SessionInit(const TSessionOptions& options, TSink sink, std::string* pError) noexcept {
  try {
    auto d = std::make_unique<TSession>();
    d->options = options;
    d->sink = sink;
    if (!d->doorbell.Valid()) {
      *pError = std::string("eventfd: ") + std::strerror(errno);
      return nullptr;
    }
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer5;
    int rc = MQTTAsync_createWithOptions(&d->client, options.uri.c_str(), options.clientId.c_str(),
                                         MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
    if (rc != MQTTASYNC_SUCCESS) {
      *pError = "cannot make an MQTT client for " + options.uri + " (code " + std::to_string(rc) + ")";
      return nullptr;
    }
    rc = MQTTAsync_setCallbacks(d->client, d.get(), connectionLost, messageArrived, nullptr);
    if (rc != MQTTASYNC_SUCCESS) {
      MQTTAsync_destroy(&d->client);
      *pError = "cannot set the MQTT client's callbacks (code " + std::to_string(rc) + ")";
      return nullptr;
    }
    return d.release();
  } catch (...) {
    *pError = "out of memory";
    return nullptr;
  }
}

void SessionDisconnect(ThLedgerSession hInst) noexcept {
  TSession* d = static_cast<TSession*>(hInst);
  if (d->link != TLink::kConnected) return;
  MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer5;
  opts.timeout = 1000;  // lets the confirmations in flight go out
  opts.onSuccess5 = onDisconnect;
  opts.onFailure5 = onDisconnectFailure;
  opts.context = d;
  d->link = TLink::kWaiting;
  d->disconnected = false;
  if (MQTTAsync_disconnect(d->client, &opts) != MQTTASYNC_SUCCESS) return;
  d->doorbell.WaitFor([d] { return d->disconnected.load(); }, kDisconnectWaitMs);
}

void SessionDestroy(ThLedgerSession hInst) noexcept {
  if (!hInst) return;
  TSession* d = static_cast<TSession*>(hInst);
  MQTTAsync_destroy(&d->client);
  delete d;
}

int SessionDoorbell(ThLedgerSession hInst) noexcept { return static_cast<TSession*>(hInst)->doorbell.Fd(); }

bool SessionSubscribed(ThLedgerSession hInst) noexcept { return static_cast<TSession*>(hInst)->subscribed; }

void SessionPause(ThLedgerSession hInst, bool bPaused) noexcept {
  TSession& d = *static_cast<TSession*>(hInst);
  d.paused = bPaused;
  if (!bPaused) d.retryAtMs = 0;
}

bool SessionConnected(ThLedgerSession hInst) noexcept {
  return static_cast<TSession*>(hInst)->link == TLink::kConnected;
}

bool SessionService(ThLedgerSession hInst, std::int64_t nowMs, std::int64_t* pNextMs) noexcept {
  TSession& d = *static_cast<TSession*>(hInst);
  bool connected = false;
  *pNextMs = -1;
  d.doorbell.Drain();  // the flags below are the truth
  if (const int refused = d.subscribeRefused.exchange(0))
    std::printf("The broker at %s refused the ledger's subscriptions (reason %d): is the account allowed to "
                "read every wheel's topics?\n", d.options.uri.c_str(), refused);
  switch (d.link) {
    case TLink::kConnected:
      if (d.lost.exchange(false)) {
        std::printf("Connection to the broker at %s lost; reconnecting\n", d.options.uri.c_str());
        d.retrySeconds = 1;
        d.lastFailure = 0;
        d.link = TLink::kWaiting;
        d.retryAtMs = nowMs;
      }
      break;
    case TLink::kConnecting:
      if (d.connectDone.exchange(false)) {
        if (d.connectOk) {
          std::printf("Connected to the broker at %s as %s\n", d.options.uri.c_str(), d.options.clientId.c_str());
          d.link = TLink::kConnected;
          d.lost = false;
          d.inflight = 0;  // what was in flight on the lost connection is not coming back
          d.retrySeconds = 1;
          d.lastFailure = 0;
          Subscribe(d);
          connected = true;
        } else {
          Retry(d, nowMs, d.connectCode, "Cannot connect to");
        }
      }
      break;
    case TLink::kWaiting:
      break;
  }
  if (d.link == TLink::kWaiting && !d.paused) {
    if (nowMs >= d.retryAtMs) {
      if (StartConnect(d))
        d.link = TLink::kConnecting;
      else
        Retry(d, nowMs, -1, "Cannot start connecting to");
    }
    if (d.link == TLink::kWaiting) *pNextMs = d.retryAtMs;
  }
  std::fflush(stdout);
  return connected;
}

TIgnored SessionIgnored(ThLedgerSession hInst) noexcept {
  TSession& d = *static_cast<TSession*>(hInst);
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.ignored;
}

bool SessionPublish(ThLedgerSession hInst, const std::string& topic, const std::string& payload,
                    bool bBeyondBound) noexcept {
  TSession& d = *static_cast<TSession*>(hInst);
  // The library's queue stays short (it walks it for every packet it sends); what waits meanwhile is
  // the caller's, where a newer confirmation of a wheel replaces the older.
  if (d.link != TLink::kConnected || (d.inflight >= kMaxInflight && !bBeyondBound)) return false;
  MQTTAsync_message m = mqtt::Message(payload, true);
  MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
  opts.onSuccess5 = onPublished;
  opts.onFailure5 = onPublishFailure;
  opts.context = &d;
  ++d.inflight;
  if (MQTTAsync_sendMessage(d.client, topic.c_str(), &m, &opts) == MQTTASYNC_SUCCESS) return true;
  --d.inflight;
  return false;
}

}  // namespace ledger
