#include "kestrin_journal_sync.h"

#include <algorithm>

namespace journal {

namespace {

// Seqs reserved ahead at a time (a burst reserves four of its batches), renewed once half are used:
// at 20 frames/s about 51 s of numbers, so that an unclean stop skips at most that many.
constexpr std::uint64_t kReserveSeqs = 1024;
// The writer begins the next segment once the newest has less room than this, so that WriteOut, which
// never begins one, always finds room: a kill finds every document in the file.
constexpr std::int64_t kSegmentMargin = 2 * 1024 * 74;
// Documents the buffer holds while the disk does not take them: 1 MiB, some 45 minutes at 5 frames/s.
constexpr std::size_t kMaxPending = (1 << 20) / kDocumentBytes * kDocumentBytes;
// A batch this large is written at once rather than at its time: a burst goes at the disk's pace.
constexpr std::size_t kEarlyCommit = 1024 * kDocumentBytes;

}  // namespace

bool BufferFull(const TMyData& d) noexcept { return d.pending.size() + kDocumentBytes > kMaxPending; }

void Numbered(TMyData& d, std::uint64_t nSeq, TMyData::Clock::time_point now) {
  if (!d.bRenewing && nSeq + kReserveSeqs / 2 > d.nReserved) {
    d.bRenewing = true;
    DueNow(d, now);
  }
}

void Buffered(TMyData& d, TMyData::Clock::time_point now) {
  if (!d.bDue) {
    BatchDue(d, now);
  } else if (d.pending.size() == kEarlyCommit) {  // a burst (a backlog) goes out at the disk's pace
    DueNow(d, now);
  }
}

void BatchDue(TMyData& d, TMyData::Clock::time_point now) {
  if (d.bDue) return;
  d.bDue = true;
  d.due = now + std::chrono::milliseconds(d.options.nCommitMs);
  if (d.wakeBy > d.due) d.wake.notify_one();
}

void DueNow(TMyData& d, TMyData::Clock::time_point now) {
  d.bDue = true;
  d.due = now;
  d.wake.notify_one();
}

bool WriteOutNow(const TMyData& d) noexcept {
  return !d.pending.empty() && !d.bWriting &&
         d.segments.back().nSize + static_cast<std::int64_t>(d.pending.size()) <= d.options.nSegmentBytes;
}

TMyData::Clock::time_point CommitAt(TMyData& d, bool bAsked, TMyData::Clock::time_point now) {
  if (!d.bDue && !bAsked) {
    if (now >= d.tick) d.bTicking = false;  // nothing came by the tick
    return d.bTicking ? d.tick : TMyData::Clock::time_point::max();
  }
  if (bAsked || d.bStop) return now;
  return d.bTicking ? std::min(d.tick, d.due) : d.due;
}

void Committed(TMyData& d, TMyData::Clock::time_point began, bool bWrote) {
  d.tick = began + std::chrono::milliseconds(d.options.nCommitMs);
  d.bTicking = bWrote;
}

TReservation Reservation(const TMyData& d, std::size_t nBatchDocs, std::uint64_t nNextSeq,
                         bool bClosing) noexcept {
  // Renewed once half of it is used (a burst reserves four of its batches); released by the last commit
  // of a close, which leaves nothing numbered beyond the disk.
  if (bClosing) return {d.nReserveOnDisk >= nNextSeq, nNextSeq - 1};
  const std::uint64_t nChunk = std::max<std::uint64_t>(kReserveSeqs, 4 * nBatchDocs);
  return {d.nReserveOnDisk < nNextSeq - 1 + nChunk / 2, nNextSeq - 1 + nChunk};
}

std::uint64_t ReservationAtStart(std::uint64_t nNextSeq) noexcept { return nNextSeq - 1 + kReserveSeqs; }

bool BeginNextEarly(std::int64_t nSize, std::int64_t nLimit) noexcept {
  return nLimit - nSize < std::min(kSegmentMargin, nLimit / 4);
}

}  // namespace journal
