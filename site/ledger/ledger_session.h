// The ledger's MQTT 5 session with the site broker: a persistent session (clean start off, a session
// expiry), QoS 1 subscriptions to every wheel's documents and status topics, and the retained
// confirmations. The ledger's main thread connects, subscribes and publishes (Service, Publish); what
// arrives goes, on the library's thread, to the sink that SessionInit was given.
//
// When a document counts as received: the client library sends the broker its acknowledgement of a
// QoS 1 publication (PUBACK) when messageArrived returns, whatever that returns (0 does not hold the
// acknowledgement back: it is sent all the same and the message only handed over again), and there
// is no acknowledging later. So the document is committed inside messageArrived, by the sink, before
// it returns: the broker keeps every document the ledger has not committed, and hands it over again
// after a restart. One whose commit fails is acknowledged all the same: the ledger holds it, and ends
// the session so that the broker keeps what follows (ledger_intake.h). The library holds its own lock while messageArrived runs: the sink must never wait
// for a thread that may be calling the library, and it waits for nothing but the store's own lock,
// bounded.
#pragma once

#include <cstdint>
#include <string>

#include "ledger_store.h"

typedef void* ThLedgerSession;

namespace ledger {

struct TSessionOptions {
  std::string uri = "tcp://localhost:1883";
  std::string clientId = "kestrin-ledger";
  std::string user, password;  // empty user: no account
  int sessionExpirySeconds = 7 * 24 * 3600;
  int keepAliveSeconds = 20;
  std::string willTopic, willPayload;  // retained, QoS 1, when the ledger vanishes; empty topic: none
};

// A document or status larger than this is refused (counted, not stored): a status document is under
// 400 bytes, and the site broker refuses the same (message_size_limit).
constexpr std::size_t kMaxDocumentBytes = 4096;
// The largest packet the ledger takes (MQTT 5's Maximum Packet Size, as the site broker's
// max_packet_size): a broker sends it nothing larger, so a document of megabytes never reaches its
// memory, even through a broker without the site's size lines. Those between the two are counted.
constexpr int kMaxPacketBytes = 16384;

struct TMessage {
  bool status = false;  // a bridgeStatus topic; otherwise a document
  TIncoming doc;        // the document, or the status (wheel, payload, arrivedMs)
};

// Counts of what arrived but is not for the ledger: another topic, or a document without a number.
struct TIgnored {
  std::uint64_t foreign = 0, unnumbered = 0, unstored = 0, oversize = 0;
};

// Takes one message on the library's thread; false when it was neither stored nor held (counted).
struct TSink {
  bool (*take)(void* context, const TMessage& message);
  void* context;
};

ThLedgerSession SessionInit(const TSessionOptions& options, TSink sink, std::string* pError) noexcept;
// Disconnects and waits (bounded) for it; messages arriving meanwhile still go to the sink.
void SessionDisconnect(ThLedgerSession hInst) noexcept;
// Destroys the client; null does nothing.
void SessionDestroy(ThLedgerSession hInst) noexcept;
// Readable while a connection event waits for Service.
int SessionDoorbell(ThLedgerSession hInst) noexcept;
// Connects, reconnects after a loss or failure, subscribes. True once after each connect that
// succeeded: the caller publishes every confirmation again then. *pNextMs: when to call it again at
// the latest (a retry's time), -1 for none.
bool SessionService(ThLedgerSession hInst, std::int64_t nowMs, std::int64_t* pNextMs) noexcept;
bool SessionConnected(ThLedgerSession hInst) noexcept;
// Paused: no connect until resumed (the ledger is not storing; its session waits at the broker).
void SessionPause(ThLedgerSession hInst, bool bPaused) noexcept;
// True once the broker has answered a subscription: from then on the persistent session keeps what
// comes for the ledger.
bool SessionSubscribed(ThLedgerSession hInst) noexcept;
// What arrived and was not for the ledger, and the messages the sink could not store in time.
TIgnored SessionIgnored(ThLedgerSession hInst) noexcept;
constexpr int kMaxInflight = 20;
// Publishes payload on topic, QoS 1, retained; false when not connected, when kMaxInflight
// publications are still in flight (the doorbell rings as they complete; bBeyondBound: one more all the
// same, for the ledger's own status), or when refused.
bool SessionPublish(ThLedgerSession hInst, const std::string& topic, const std::string& payload,
                    bool bBeyondBound = false) noexcept;

// The wheel of a topic /rng/roulette/kestrin_live/<serial>/<leaf>; -1 for any other topic.
int WheelOfTopic(const std::string& topic, const char* leaf);

}  // namespace ledger
