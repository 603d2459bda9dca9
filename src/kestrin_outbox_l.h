// The outbox's record; only the outbox and its tests see it.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "kestrin_outbox.h"

namespace outbox {

constexpr std::uint32_t kNone = UINT32_MAX;

// One slot of the pool: a document and where it is.
struct TEntry {
  TDocument document;
  TState state = TState::kFree;
  std::uint32_t nPrev = kNone, nNext = kNone;  // kQueued: its neighbours in its lane, by order
  std::uint64_t nId = 0;                       // kInFlight, kOverdue: its publication
  Clock::time_point due{};                     // kInFlight: when it is given up on
};

// The queued entries of one origin, oldest order first.
struct TLane {
  std::uint32_t nHead = kNone, nTail = kNone;
  std::size_t nCount = 0;
};

struct TOutbox {
  TOptions options;
  char portName[100] = {};
  std::vector<TEntry> entries;           // the pool; grows to the largest backlog seen, never shrinks
  std::vector<std::uint32_t> freeSlots;  // slots of kFree entries
  TLane lanes[3];                        // by TOrigin
  std::vector<std::uint32_t> inFlight;   // kInFlight entries, oldest start (so nearest due) first
  std::vector<std::uint32_t> overdue;    // kOverdue entries, oldest first
  std::size_t nHistoryInFlight = 0;      // of inFlight, the replayed
  std::uint32_t nChosen = kNone;         // what Next gave, until the next change
  // History still in the journal: the replay's records after nReplayNext up to nReplayEnd, and the
  // refills' ranges.
  std::uint64_t nReplayNext = 0;
  std::uint64_t nReplayEnd = 0;
  TSeqRanges refill;
  // Refills read within nRefillAgainSeconds (not refilled again meanwhile), and what the journal no
  // longer held (said once).
  std::deque<std::pair<Clock::time_point, TSeqRanges::TRange>> refillSent;
  TSeqRanges recentlyRefilled;
  TSeqRanges notHeldSaid;
  TSeqRanges skipped;           // seqs the journal skipped at this start: no document has them
  TSeqRanges brokerConfirmed;   // seqs the box's broker confirmed that the site has not yet
  std::uint64_t nLastLive = 0;  // the newest live document started
};

}  // namespace outbox
