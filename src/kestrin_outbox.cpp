// The worker's outbox (kestrin_outbox.h says how it works).
#include "kestrin_outbox.h"

#include <inttypes.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "kestrin_console.h"
#include "kestrin_health.h"
#include "kestrin_outbox_l.h"

namespace outbox {
namespace {

// Journal records read back at a time for the replay and the refills.
constexpr int kBatch = 64;

TOutbox& Of(ThKestrinOutbox hOutbox) { return *static_cast<TOutbox*>(hOutbox); }

TLane& LaneOf(TOutbox& o, const TEntry& e) { return o.lanes[static_cast<int>(e.document.origin)]; }

std::uint32_t Alloc(TOutbox& o) {
  if (o.freeSlots.empty()) {
    o.entries.emplace_back();
    return static_cast<std::uint32_t>(o.entries.size() - 1);
  }
  const std::uint32_t n = o.freeSlots.back();
  o.freeSlots.pop_back();
  return n;
}

void Free(TOutbox& o, std::uint32_t n) {
  o.entries[n].state = TState::kFree;
  o.freeSlots.push_back(n);
}

// Puts entry n into its lane at its place by order: at the end for a new document, from the front for
// one queued again (older than most that wait).
void Queue(TOutbox& o, std::uint32_t n) {
  TEntry& e = o.entries[n];
  TLane& lane = LaneOf(o, e);
  e.state = TState::kQueued;
  std::uint32_t nAfter = lane.nTail;  // the entry it goes behind; kNone: the front
  if (nAfter != kNone && o.entries[nAfter].document.nOrder > e.document.nOrder) {
    nAfter = kNone;
    for (std::uint32_t i = lane.nHead; i != kNone && o.entries[i].document.nOrder < e.document.nOrder;
         i = o.entries[i].nNext)
      nAfter = i;
  }
  e.nPrev = nAfter;
  e.nNext = nAfter == kNone ? lane.nHead : o.entries[nAfter].nNext;
  (e.nPrev == kNone ? lane.nHead : o.entries[e.nPrev].nNext) = n;
  (e.nNext == kNone ? lane.nTail : o.entries[e.nNext].nPrev) = n;
  ++lane.nCount;
}

void Unqueue(TOutbox& o, std::uint32_t n) {
  TEntry& e = o.entries[n];
  TLane& lane = LaneOf(o, e);
  (e.nPrev == kNone ? lane.nHead : o.entries[e.nPrev].nNext) = e.nNext;
  (e.nNext == kNone ? lane.nTail : o.entries[e.nNext].nPrev) = e.nPrev;
  e.nPrev = e.nNext = kNone;
  --lane.nCount;
}

void AddRecord(TOutbox& o, const journal::TRecord& record, TOrigin origin) {
  const std::uint32_t n = Alloc(o);
  TDocument& d = o.entries[n].document;
  std::memcpy(d.bytes, record.frame, sizeof d.bytes);
  d.status = frame::TStatus{};
  frame::Decode(d.bytes, &d.status);
  d.nSeq = d.nOrder = record.nSeq;
  d.nEpoch = record.nEpoch;
  d.nCapturedMs = record.nCapturedMs;
  d.link = record.link;
  d.origin = origin;
  d.bTold = true;  // history is not reported as frames are
  Queue(o, n);
}

// The replay's next records, read back from the journal as they are needed. False when none is left.
bool LoadReplay(TOutbox& o) {
  TLane& lane = o.lanes[static_cast<int>(TOrigin::kReplay)];
  while (lane.nCount == 0 && o.nReplayNext < o.nReplayEnd) {
    journal::TRecord records[kBatch];
    const int n = journal::Read(o.options.hJournal, o.nReplayNext, records, kBatch);
    if (n <= 0) {
      o.nReplayNext = o.nReplayEnd;  // nothing more on the disk (or it refused: told by the journal)
      break;
    }
    for (int i = 0; i < n && records[i].nSeq <= o.nReplayEnd; ++i) AddRecord(o, records[i], TOrigin::kReplay);
    o.nReplayNext = records[n - 1].nSeq;
  }
  return lane.nCount > 0;
}

// Documents the site lacks and the journal no longer holds (given way, or never kept): said once.
void NotHeld(TOutbox& o, std::uint64_t nFirst, std::uint64_t nLast) {
  for (const TSeqRanges::TRange& r : o.notHeldSaid.Outside(nFirst, nLast)) {
    console::Warning("The site lacks the documents of %s from seq %" PRIu64 " to %" PRIu64
                     ", which the journal no longer holds: %" PRIu64 " lost\n",
                     o.portName, r.nFirst, r.nLast, r.nLast - r.nFirst + 1);
    health::CountNotHeld(static_cast<long>(r.nLast - r.nFirst + 1));
    o.notHeldSaid.Add(r.nFirst, r.nLast);
  }
}

// Reads the next documents the site asked for from the journal, in order. False when none is left.
bool LoadRefill(TOutbox& o, Clock::time_point now) {
  TLane& lane = o.lanes[static_cast<int>(TOrigin::kRefill)];
  if (lane.nCount > 0 || o.refill.Empty()) return lane.nCount > 0;
  // Only what the journal has on the disk is read: a document it has not written yet is not missing.
  journal::TState state;
  journal::GetState(o.options.hJournal, &state);
  while (lane.nCount == 0 && !o.refill.Empty() && o.refill.First().nFirst <= state.nSynced) {
    TSeqRanges::TRange r = o.refill.First();
    r.nLast = std::min(r.nLast, state.nSynced);
    journal::TRecord records[kBatch];
    const int n = journal::Read(o.options.hJournal, r.nFirst - 1, records, kBatch);
    std::uint64_t nNext = r.nFirst;  // the first seq not yet accounted for
    for (int i = 0; i < n && records[i].nSeq <= r.nLast; ++i) {
      if (records[i].nSeq > nNext) NotHeld(o, nNext, records[i].nSeq - 1);
      AddRecord(o, records[i], TOrigin::kRefill);
      nNext = records[i].nSeq + 1;
    }
    // Nothing more up to r.nLast in the journal: what is left of the range it does not hold.
    if (n < kBatch || records[n - 1].nSeq >= r.nLast) {
      if (nNext <= r.nLast) NotHeld(o, nNext, r.nLast);
      nNext = r.nLast + 1;
    }
    if (nNext > r.nFirst) {
      o.refill.Remove(r.nFirst, nNext - 1);
      o.refillSent.emplace_back(now, TSeqRanges::TRange{r.nFirst, nNext - 1});
      o.recentlyRefilled.Add(r.nFirst, nNext - 1);
    }
  }
  return lane.nCount > 0;
}

// Whether nothing below nSeq is still to be confirmed by the box's broker: the documents of this start
// and the replay (the refills' were confirmed once before).
bool NoneBefore(const TOutbox& o, std::uint64_t nSeq) {
  for (const auto* pList : {&o.inFlight, &o.overdue})
    for (const std::uint32_t n : *pList) {
      const TDocument& d = o.entries[n].document;
      if (d.origin != TOrigin::kRefill && d.nSeq < nSeq) return false;
    }
  for (const TOrigin origin : {TOrigin::kLive, TOrigin::kReplay}) {
    const TLane& lane = o.lanes[static_cast<int>(origin)];
    if (lane.nHead != kNone && o.entries[lane.nHead].document.nSeq < nSeq) return false;
  }
  return o.nReplayNext >= o.nReplayEnd || o.nReplayNext + 1 >= nSeq;
}

void LetGoQueued(TOutbox& o, TOrigin origin, std::uint64_t nUpTo) {
  TLane& lane = o.lanes[static_cast<int>(origin)];
  while (lane.nHead != kNone && o.entries[lane.nHead].document.nOrder <= nUpTo) {
    const std::uint32_t n = lane.nHead;
    Unqueue(o, n);
    Free(o, n);
  }
}

// Takes entry n out of the list it is in.
void Remove(std::vector<std::uint32_t>& list, std::uint32_t n) {
  list.erase(std::find(list.begin(), list.end(), n));
}

}  // namespace

ThKestrinOutbox Init(const TOptions& options) noexcept {
  if (options.nWindow == 0 || options.nMaxLive == 0 || options.pPortName == nullptr) return nullptr;
  try {
    auto p = std::make_unique<TOutbox>();
    p->options = options;
    std::snprintf(p->portName, sizeof p->portName, "%s", options.pPortName);
    p->options.pPortName = p->portName;
    p->entries.reserve(options.nWindow * 4);
    p->inFlight.reserve(options.nWindow);
    p->overdue.reserve(options.nMaxOverdue + 1);
    if (options.hJournal != nullptr) {
      journal::TState state;
      journal::GetState(options.hJournal, &state);
      // The last record of the earlier starts: before the seqs skipped after an unclean stop, if any.
      p->nReplayEnd = state.nSkippedFirst != 0 ? state.nSkippedFirst - 1 : state.nNextSeq - 1;
      p->nReplayNext = p->nReplayEnd;
      if (state.nSkippedFirst != 0) p->skipped.Add(state.nSkippedFirst, state.nSkippedLast);
    }
    return p.release();
  } catch (...) {
    return nullptr;
  }
}

void Destroy(ThKestrinOutbox hOutbox) noexcept { delete static_cast<TOutbox*>(hOutbox); }

int AddLive(ThKestrinOutbox hOutbox, const TDocument& document, long* pnGaveWay) noexcept {
  if (hOutbox == nullptr) return kBadArgument;
  TOutbox& o = Of(hOutbox);
  o.nChosen = kNone;
  try {
    TLane& lane = o.lanes[static_cast<int>(TOrigin::kLive)];
    if (lane.nCount >= o.options.nMaxLive) {
      // Still in the journal, with one: the next start publishes it again.
      const std::uint32_t nOldest = lane.nHead;
      Unqueue(o, nOldest);
      Free(o, nOldest);
      if (pnGaveWay != nullptr) ++*pnGaveWay;
    }
    const std::uint32_t n = Alloc(o);
    o.entries[n].document = document;
    o.entries[n].document.origin = TOrigin::kLive;
    Queue(o, n);
    return kOk;
  } catch (...) {
    return kBadArgument;  // out of memory: the document is not kept
  }
}

std::uint64_t Replay(ThKestrinOutbox hOutbox, std::uint64_t nAfter) noexcept {
  if (hOutbox == nullptr) return 0;
  TOutbox& o = Of(hOutbox);
  o.nReplayNext = nAfter;
  if (o.nReplayNext < o.nReplayEnd)
    console::Notice("Publishing again the documents of %s after seq %" PRIu64 " up to seq %" PRIu64
                    ", not yet confirmed\n",
                    o.portName, o.nReplayNext, o.nReplayEnd);
  return o.nReplayEnd;
}

void Refill(ThKestrinOutbox hOutbox, const TSeqRanges::TRange* pRanges, int nRanges,
            Clock::time_point now) noexcept {
  if (hOutbox == nullptr || (nRanges > 0 && pRanges == nullptr)) return;
  TOutbox& o = Of(hOutbox);
  try {
    const auto again = std::chrono::seconds(o.options.nRefillAgainSeconds);
    if (!o.refillSent.empty() && now - o.refillSent.front().first >= again) {
      while (!o.refillSent.empty() && now - o.refillSent.front().first >= again) o.refillSent.pop_front();
      o.recentlyRefilled.Clear();
      for (const auto& [when, range] : o.refillSent) o.recentlyRefilled.Add(range.nFirst, range.nLast);
    }
    if (nRanges <= 0) return;
    // Only documents this bridge has numbered and taken: the newer ones are on their way anyway.
    const std::uint64_t nHad = std::max(o.nReplayEnd, o.nLastLive);
    TSeqRanges added;
    for (int i = 0; i < nRanges; ++i) {
      const TSeqRanges::TRange& r = pRanges[i];
      for (const TSeqRanges::TRange& part :
           o.recentlyRefilled.Outside(std::max<std::uint64_t>(r.nFirst, 1), std::min(r.nLast, nHad)))
        for (const TSeqRanges::TRange& piece : o.refill.Outside(part.nFirst, part.nLast))
          for (const TSeqRanges::TRange& numbered : o.skipped.Outside(piece.nFirst, piece.nLast))
            added.Add(numbered.nFirst, numbered.nLast);
    }
    if (o.nReplayNext < o.nReplayEnd) added.Remove(o.nReplayNext + 1, o.nReplayEnd);  // the replay has them
    if (added.Empty()) return;
    const std::uint64_t nFirst = added.First().nFirst;
    while (!added.Empty()) {
      const TSeqRanges::TRange r = added.First();
      o.refill.Add(r.nFirst, r.nLast);
      added.Remove(r.nFirst, r.nLast);
      if (added.Empty())
        console::Notice("Publishing again %" PRIu64 " documents of %s from seq %" PRIu64 " to %" PRIu64
                        ", which the site lacks\n",
                        o.refill.Count(), o.portName, nFirst, r.nLast);
    }
  } catch (...) {
  }
}

void SiteConfirmed(ThKestrinOutbox hOutbox, std::uint64_t nSeq) noexcept {
  if (hOutbox == nullptr || nSeq == 0) return;
  TOutbox& o = Of(hOutbox);
  try {
    o.nChosen = kNone;
    o.brokerConfirmed.Remove(1, nSeq);
    o.refill.Remove(1, nSeq);
    LetGoQueued(o, TOrigin::kReplay, nSeq);
    LetGoQueued(o, TOrigin::kRefill, nSeq);
    if (o.nReplayNext < o.nReplayEnd) o.nReplayNext = std::max(o.nReplayNext, std::min(nSeq, o.nReplayEnd));
  } catch (...) {
  }
}

TDocument* Next(ThKestrinOutbox hOutbox, Clock::time_point now) noexcept {
  if (hOutbox == nullptr) return nullptr;
  TOutbox& o = Of(hOutbox);
  o.nChosen = kNone;
  if (o.inFlight.size() >= o.options.nWindow) return nullptr;
  try {
    const bool bRoom = o.options.hJournal != nullptr && o.nHistoryInFlight < o.options.nWindow / 2;
    const TLane& live = o.lanes[static_cast<int>(TOrigin::kLive)];
    if (bRoom && LoadReplay(o))
      o.nChosen = o.lanes[static_cast<int>(TOrigin::kReplay)].nHead;
    else if (live.nCount > 0)
      o.nChosen = live.nHead;
    else if (bRoom && LoadRefill(o, now))
      o.nChosen = o.lanes[static_cast<int>(TOrigin::kRefill)].nHead;
  } catch (...) {
    o.nChosen = kNone;
  }
  return o.nChosen == kNone ? nullptr : &o.entries[o.nChosen].document;
}

void Started(ThKestrinOutbox hOutbox, std::uint64_t nId, Clock::time_point due) noexcept {
  if (hOutbox == nullptr || Of(hOutbox).nChosen == kNone) return;
  TOutbox& o = Of(hOutbox);
  const std::uint32_t n = std::exchange(o.nChosen, kNone);
  TEntry& e = o.entries[n];
  Unqueue(o, n);
  e.state = TState::kInFlight;
  e.nId = nId;
  e.due = due;
  o.inFlight.push_back(n);  // reserved for the window: no allocation
  if (e.document.Replayed())
    ++o.nHistoryInFlight;
  else
    o.nLastLive = std::max(o.nLastLive, e.document.nSeq);
}

void Refused(ThKestrinOutbox hOutbox) noexcept {
  if (hOutbox == nullptr || Of(hOutbox).nChosen == kNone) return;
  TOutbox& o = Of(hOutbox);
  const std::uint32_t n = std::exchange(o.nChosen, kNone);
  Unqueue(o, n);
  Free(o, n);
}

int Settle(ThKestrinOutbox hOutbox, std::uint64_t nId, bool bDelivered, bool bRequeue,
           TSettled* pSettled) noexcept {
  if (hOutbox == nullptr || pSettled == nullptr) return kBadArgument;
  TOutbox& o = Of(hOutbox);
  o.nChosen = kNone;
  std::uint32_t n = kNone;
  for (const auto* pList : {&o.inFlight, &o.overdue})
    for (const std::uint32_t i : *pList)
      if (o.entries[i].nId == nId) n = i;
  if (n == kNone) return kUnknown;
  TEntry& e = o.entries[n];
  *pSettled = TSettled{};
  pSettled->was = e.state;
  pSettled->document = e.document;
  pSettled->nId = nId;
  if (e.state == TState::kInFlight) {
    Remove(o.inFlight, n);
    if (e.document.Replayed()) --o.nHistoryInFlight;
  } else {
    Remove(o.overdue, n);
  }
  try {
    if (bDelivered) {
      const std::uint64_t nSeq = e.document.nSeq;
      Free(o, n);
      if (nSeq != 0) {
        o.brokerConfirmed.Add(nSeq, nSeq);
        // With nothing before it waiting, so is everything up to the end of its run of confirmed seqs.
        if (NoneBefore(o, nSeq)) pSettled->nAcknowledge = std::max(nSeq, o.brokerConfirmed.LastOfRange(nSeq));
      }
    } else if (bRequeue) {
      Queue(o, n);
    } else {
      Free(o, n);
    }
  } catch (...) {
  }
  return kOk;
}

bool GiveUpDue(ThKestrinOutbox hOutbox, Clock::time_point now, bool bAll, TSettled* pSettled) noexcept {
  if (hOutbox == nullptr || pSettled == nullptr) return false;
  TOutbox& o = Of(hOutbox);
  if (o.inFlight.empty() || (!bAll && o.entries[o.inFlight.front()].due > now)) return false;
  o.nChosen = kNone;
  const std::uint32_t n = o.inFlight.front();
  o.inFlight.erase(o.inFlight.begin());
  TEntry& e = o.entries[n];
  if (e.document.Replayed()) --o.nHistoryInFlight;
  e.state = TState::kOverdue;
  *pSettled = TSettled{};
  pSettled->was = TState::kInFlight;
  pSettled->document = e.document;
  pSettled->nId = e.nId;
  o.overdue.push_back(n);  // reserved: no allocation
  if (o.overdue.size() > o.options.nMaxOverdue) {
    const std::uint32_t nOldest = o.overdue.front();
    o.overdue.erase(o.overdue.begin());
    pSettled->nForgotten = o.entries[nOldest].nId;
    Queue(o, nOldest);
  }
  return true;
}

int Stop(ThKestrinOutbox hOutbox) noexcept {
  if (hOutbox == nullptr) return 0;
  TOutbox& o = Of(hOutbox);
  o.nChosen = kNone;
  const int nLive = static_cast<int>(o.lanes[static_cast<int>(TOrigin::kLive)].nCount);
  // Records read back from the journal are not this start's frames: they stay there for the next.
  for (const TOrigin origin : {TOrigin::kLive, TOrigin::kReplay, TOrigin::kRefill})
    LetGoQueued(o, origin, UINT64_MAX);
  o.nReplayNext = o.nReplayEnd;
  o.refill.Clear();
  return nLive;
}

void GetCounts(ThKestrinOutbox hOutbox, TCounts* pCounts) noexcept {
  if (hOutbox == nullptr || pCounts == nullptr) return;
  const TOutbox& o = Of(hOutbox);
  pCounts->nQueuedLive = o.lanes[static_cast<int>(TOrigin::kLive)].nCount;
  pCounts->nInFlight = o.inFlight.size();
  pCounts->nOverdue = o.overdue.size();
  pCounts->nHistoryInFlight = o.nHistoryInFlight;
  pCounts->bHistory = o.lanes[static_cast<int>(TOrigin::kReplay)].nCount > 0 ||
                      o.lanes[static_cast<int>(TOrigin::kRefill)].nCount > 0 ||
                      o.nReplayNext < o.nReplayEnd || !o.refill.Empty();
  pCounts->due = o.inFlight.empty() ? Clock::time_point::max() : o.entries[o.inFlight.front()].due;
}

}  // namespace outbox
