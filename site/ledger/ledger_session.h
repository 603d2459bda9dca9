// The ledger's MQTT 5 session with the site broker: a persistent session (clean start off, a session
// expiry), QoS 1 subscriptions to every wheel's documents and status topics, and the retained
// confirmations. The library's thread copies what arrives into an inbox, which the store's thread
// takes (Take, Committed); the ledger's main thread connects, subscribes and publishes (Service,
// Publish).
//
// When a document counts as received: the client library sends the broker its acknowledgement of a
// QoS 1 publication (PUBACK) when messageArrived returns, whatever that returns (0 does not hold the
// acknowledgement back: it is sent all the same and the message only handed over again), and there
// is no acknowledging later. So messageArrived hands the document to the store's thread and waits,
// bounded, until that thread has committed it; only then does it return and the acknowledgement go.
// The library holds its own lock while messageArrived runs, so the thread that waits for the commit
// must never be the one that calls the library: the store's thread calls none of it. A document whose
// commit does not come within kCommitWaitMs (a stalled disk) is acknowledged all the same and counted:
// its box keeps it until a confirmation covers it, so it comes again.
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
// Disconnects and waits (bounded) for it; messages arriving meanwhile still need the store's thread.
void SessionDisconnect(ThLedgerSession hInst) noexcept;
// Destroys the client; null does nothing.
void SessionDestroy(ThLedgerSession hInst) noexcept;
constexpr int kCommitWaitMs = 5000;

// Readable while a connection event waits for Service.
int SessionDoorbell(ThLedgerSession hInst) noexcept;
// Connects, reconnects after a loss or failure, subscribes. True once after each connect that
// succeeded: the caller publishes every confirmation again then. *pNextMs: when to call it again at
// the latest (a retry's time), -1 for none.
bool SessionService(ThLedgerSession hInst, std::int64_t nowMs, std::int64_t* pNextMs) noexcept;
bool SessionConnected(ThLedgerSession hInst) noexcept;
// For the store's thread: waits up to nTimeoutMs for what arrives (or SessionWake); moves it into
// *pOut and returns the number of the last message taken, which SessionCommitted then releases.
std::uint64_t SessionTake(ThLedgerSession hInst, int nTimeoutMs, std::deque<TMessage>* pOut,
                          TIgnored* pIgnored) noexcept;
void SessionCommitted(ThLedgerSession hInst, std::uint64_t last) noexcept;
void SessionWake(ThLedgerSession hInst) noexcept;
// Documents acknowledged because their commit did not come in time.
std::uint64_t SessionAckedUnstored(ThLedgerSession hInst) noexcept;
// Publishes payload on topic, QoS 1, retained; false when not connected or refused.
bool SessionPublish(ThLedgerSession hInst, const std::string& topic, const std::string& payload) noexcept;

// The wheel of a topic /rng/roulette/kestrin_live/<serial>/<leaf>; -1 for any other topic.
int WheelOfTopic(const std::string& topic, const char* leaf);

}  // namespace ledger
