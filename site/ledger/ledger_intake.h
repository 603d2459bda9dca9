// What the ledger has taken from the broker and could not store yet, and whether it is storing.
//
// The client library acknowledges a document when the message-arrived callback returns, whatever the
// callback did with it (ledger_session.h). So when a commit fails (a full disk, the store's lock not
// had in time), the ledger keeps that document here, in memory, in the order it came, with every
// document that arrives after it until the session has ended: the ledger stops storing, ends its
// session (the broker keeps it, and queues what comes meanwhile), tries the held documents again
// every few seconds, and once they are stored connects again for what waits at the broker. A held
// document is one the broker has had its acknowledgement for: if the ledger ends while holding it, its
// box still has it (no confirmation covers it) and sends it again for the gap it leaves.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "ledger_session.h"

namespace ledger {

// At most this many documents held (a few seconds of a large fleet); past it a document is dropped
// unstored (counted), and its box keeps it.
constexpr std::size_t kMaxHeld = 20000;

struct TIntakeFigures {
  bool storing = true;
  std::int64_t sinceMs = 0;       // when storing stopped or started again, ms since 1970
  std::string reason;             // why it is not storing
  std::uint64_t held = 0;         // held now
  std::uint64_t unstored = 0;     // acknowledged and never stored (past kMaxHeld, or held at the end)
  std::uint64_t refused = 0;      // documents over kMaxDocumentBytes, refused
};

class TIntake {
 public:
  // Any thread. While storing has stopped, keeps m behind the held documents and says true: nothing is
  // stored past a held document.
  bool HoldIfHolding(const TMessage& m);
  // Keeps m behind the held ones; the first failure (reason) stops storing.
  void Hold(const TMessage& m, const std::string& reason);
  bool Holding() const;
  // The main thread: the held documents, oldest first, to store; those it could not store go back in
  // front of any that came meanwhile.
  std::deque<TMessage> TakeHeld();
  void PutBack(std::deque<TMessage> rest, const std::string& reason);
  // Storing again, unless documents came meanwhile (false: take them first).
  bool Resume();
  // The held documents, dropped at the end: counted as unstored. How many.
  std::uint64_t DropHeld();
  void Refused(std::uint64_t n);
  TIntakeFigures Figures() const;

 private:
  void Keep(const TMessage& m);  // mutex_ held
  mutable std::mutex mutex_;
  std::deque<TMessage> held_;
  TIntakeFigures figures_;
};

// The ledger's own status, retained on kLedgerStatusTopic: whether it stores, since when and why not,
// and its counts; kLedgerWill is what the broker publishes there when the ledger vanishes.
std::string LedgerStatus(const TIntakeFigures& f, const char* state, std::int64_t nowMs);
extern const char* const kLedgerStatusTopic;
extern const char* const kLedgerWill;

}  // namespace ledger
