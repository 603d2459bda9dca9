// The ledger's MQTT 5 session with the site broker: a persistent session (clean start off, a session
// expiry), QoS 1 subscriptions to every wheel's documents and status topics, and the retained
// confirmations. The library's threads only copy what arrives into a queue and ring the doorbell; the
// ledger's own thread takes the queue, connects, subscribes and publishes (Service, Take, Publish).
//
// When a document counts as received: the client library acknowledges a QoS 1 publication (PUBACK)
// as soon as it has read it, before the message reaches messageArrived, whatever that returns (its
// result only asks the library to hand the message over again). So the MQTT acknowledgement cannot
// wait for the ledger's commit. The acknowledgement that counts is the ledger's confirmation topic:
// a box releases its copy of a document only once a confirmation's "seq" covers it, and that "seq"
// is published after the commit. A document lost between the library's acknowledgement and the
// commit (the ledger killed inside a batch, at most one batch) is still on its box and comes again.
#pragma once

#include <cstdint>
#include <deque>
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
};

struct TMessage {
  bool status = false;  // a bridgeStatus topic; otherwise a document
  TIncoming doc;        // the document, or the status (wheel, payload, arrivedMs)
};

// Counts of what arrived but is not for the ledger: another topic, or a document without a number.
struct TIgnored {
  std::uint64_t foreign = 0, unnumbered = 0;
};

ThLedgerSession SessionInit(const TSessionOptions& options, std::string* pError) noexcept;
// Disconnects (bounded) and destroys the client; null does nothing.
void SessionDestroy(ThLedgerSession hInst) noexcept;
// Readable while messages or a connection event wait for Service/Take.
int SessionDoorbell(ThLedgerSession hInst) noexcept;
// Connects, reconnects after a loss or failure, subscribes. True once after each connect that
// succeeded: the caller publishes every confirmation again then. *pNextMs: when to call it again at
// the latest (a retry's time), -1 for none.
bool SessionService(ThLedgerSession hInst, std::int64_t nowMs, std::int64_t* pNextMs) noexcept;
bool SessionConnected(ThLedgerSession hInst) noexcept;
// Moves everything that arrived into *pOut (appended).
void SessionTake(ThLedgerSession hInst, std::deque<TMessage>* pOut, TIgnored* pIgnored) noexcept;
// Publishes payload on topic, QoS 1, retained; false when not connected or refused.
bool SessionPublish(ThLedgerSession hInst, const std::string& topic, const std::string& payload) noexcept;

// The wheel of a topic /rng/roulette/kestrin_live/<serial>/<leaf>; -1 for any other topic.
int WheelOfTopic(const std::string& topic, const char* leaf);

}  // namespace ledger
