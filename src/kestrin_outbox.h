// The worker's outbox: every document on its way out, one entry each with its state, whatever brought
// it (the device, the replay of earlier starts at a start, a refill the site asked for). The worker's
// loop adds to it, asks it what to publish next, and reports each publication's outcome to it; the
// entries, their order and the rules of who goes first are kept here and nowhere else.
//
// How it works. An entry is queued in the lane of its origin, in order (the seq, without a journal the
// count of frames taken), then in flight as one publication (its id, and the due by which it is given
// up on), then overdue (given up on, kept for a late outcome, outside the window). Once the box's broker
// confirms it, the entry is let go and only its seq stays, in a set of ranges, until the site confirms
// it too. A failed publication goes back to its lane at its place. History (replay and refill) is read
// from the journal lazily, a batch at a time, and takes at most half the window, so that a live
// document never waits behind it. Entries live in a pool that only grows to the largest backlog seen:
// no allocation per document once it has.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "kestrin_frame.h"
#include "kestrin_journal.h"
#include "kestrin_seq_ranges.h"

typedef void* ThKestrinOutbox;

namespace outbox {

using Clock = std::chrono::steady_clock;

// Results.
constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kUnknown = -2;  // Settle: no entry has this publication (one already let go)

enum class TOrigin : unsigned char {
  kLive,    // a frame from the device, this start
  kReplay,  // a journal record of an earlier start, published again at this start
  kRefill,  // a journal record the site asked for again
};

enum class TState : unsigned char {
  kFree,      // no document: a slot of the pool
  kQueued,    // waits in its origin's lane to be published
  kInFlight,  // with the broker: waits for its outcome until its due
  kOverdue,   // given up on at its due: kept for its late outcome, no longer in the window
  // Confirmed by the box's broker: the entry is let go, its seq kept in a range until the site confirms
  // it (then the range goes too). Not a state an entry holds.
};

// A document, carried by value from the link to its publication's outcome.
struct TDocument {
  unsigned char bytes[journal::kFrameLength] = {};
  frame::TStatus status;         // decoded; only whole frames become a document
  std::int64_t nCapturedMs = 0;  // when its last byte was read, ms since the Unix epoch
  std::uint64_t nSeq = 0;        // its number, with a journal; 0: none
  std::uint64_t nEpoch = 0;      // with nSeq: the start that read it
  journal::TLink link;           // with a chain: the document before it, as its signature covers
  std::uint64_t nOrder = 0;      // its place: the seq, or without a journal the count of frames taken
  TOrigin origin = TOrigin::kLive;
  bool bTold = false;  // its report has been printed
  bool Replayed() const { return origin != TOrigin::kLive; }
};

struct TOptions {
  // History comes from it, and the seqs skipped at this start (TState); null: live documents only.
  ThKestrinJournal hJournal = nullptr;
  const char* pPortName = "";     // for the lines
  std::size_t nWindow = 1;        // publications in flight at once
  std::size_t nMaxLive = 1;       // queued live documents beyond which the oldest gives way
  std::size_t nMaxOverdue = 100;  // overdue entries beyond which the oldest is queued again
  int nRefillAgainSeconds = 30;   // a refilled seq is not refilled again within this
};

// The figures the loop looks at.
struct TCounts {
  std::size_t nQueuedLive = 0;  // live documents waiting
  std::size_t nInFlight = 0;
  std::size_t nOverdue = 0;
  std::size_t nHistoryInFlight = 0;
  bool bHistory = false;  // replay or refill left to publish (queued or still in the journal)
  Clock::time_point due = Clock::time_point::max();  // the oldest publication in flight's due
};

// The outcome of one publication, as Settle and GiveUpDue tell it.
struct TSettled {
  TState was = TState::kFree;      // kInFlight or kOverdue: where the entry was
  TDocument document;              // a copy
  std::uint64_t nId = 0;           // the publication
  std::uint64_t nForgotten = 0;    // GiveUpDue: an older overdue publication queued again (0: none);
                                   // the broker is to forget it
  std::uint64_t nAcknowledge = 0;  // Settle, delivered: every document of this start and the replay up
                                   // to it is confirmed by the box's broker (0: one before it waits)
};

// Null for options out of range, or when memory runs out.
ThKestrinOutbox Init(const TOptions& options) noexcept;
void Destroy(ThKestrinOutbox hOutbox) noexcept;

// Queues a live document at the end of its lane; when the lane is full the oldest queued one gives
// way, counted in *pnGaveWay (may be null).
int AddLive(ThKestrinOutbox hOutbox, const TDocument& document, long* pnGaveWay) noexcept;

// Queues the journal's records of earlier starts after nAfter for the replay, with the line saying so;
// they are read from the journal as they are needed. Returns the last seq of the earlier starts.
std::uint64_t Replay(ThKestrinOutbox hOutbox, std::uint64_t nAfter) noexcept;

// The site lacks these seqs: those this start has numbered and taken, not refilled within
// nRefillAgainSeconds, not in the replay still to come and not skipped at this start are queued for a
// refill, with one line. Also forgets the refills older than nRefillAgainSeconds. nRanges 0: only that.
void Refill(ThKestrinOutbox hOutbox, const TSeqRanges::TRange* pRanges, int nRanges,
            Clock::time_point now) noexcept;

// The site holds every document up to nSeq: confirmed seqs up to it are let go, and so is history still
// queued up to it. A document in flight stays until its outcome.
void SiteConfirmed(ThKestrinOutbox hOutbox, std::uint64_t nSeq) noexcept;

// The next document to publish, or null when none is (or the window is full): the replay while history
// has room, then live documents, then refills while history has room. It stays queued until Started.
// The pointer holds until the next call that changes the outbox.
TDocument* Next(ThKestrinOutbox hOutbox, Clock::time_point now) noexcept;

// The document Next gave is publication nId now, given up on at due.
void Started(ThKestrinOutbox hOutbox, std::uint64_t nId, Clock::time_point due) noexcept;

// The document Next gave was refused: let go.
void Refused(ThKestrinOutbox hOutbox) noexcept;

// Publication nId's outcome. Delivered: confirmed by the box's broker. Failed: queued again at its place
// when bRequeue, else let go. kUnknown for an id not held.
int Settle(ThKestrinOutbox hOutbox, std::uint64_t nId, bool bDelivered, bool bRequeue,
           TSettled* pSettled) noexcept;

// The oldest publication in flight whose due has come (any, with bAll) is given up on: overdue. True
// with *pSettled filled when one was.
bool GiveUpDue(ThKestrinOutbox hOutbox, Clock::time_point now, bool bAll, TSettled* pSettled) noexcept;

// Shutdown: every queued document and the history still to come are let go. Returns the queued live
// ones (this start's frames not published).
int Stop(ThKestrinOutbox hOutbox) noexcept;

void GetCounts(ThKestrinOutbox hOutbox, TCounts* pCounts) noexcept;

}  // namespace outbox
