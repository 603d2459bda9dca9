// The journal's sync policy, all of it: when a batch is due for the writer's write and sync, when the
// worker writes out itself and when it leaves that to the writer, how many documents the buffer holds,
// how far ahead seqs are reserved, and when the next segment begins. Each is a decision over the
// journal's state; the writer thread (kestrin_journal_writer.cpp), Append and WriteOut act on them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrin_journal_l.h"

namespace journal {

// Under d.mutex, Append's: the buffer has no room for another document (the disk stalls).
bool BufferFull(const TMyData& d) noexcept;

// Under d.mutex, Append's, as it gives seq nSeq: once half the reservation is used, the writer renews
// it at once.
void Numbered(TMyData& d, std::uint64_t nSeq, TMyData::Clock::time_point now);

// Under d.mutex, Append's, a document buffered: the first of a batch makes it due (BatchDue); a burst
// is due at once, so that it goes at the disk's pace.
void Buffered(TMyData& d, TMyData::Clock::time_point now);

// Under d.mutex: something waits for the writer (a batch's first document, changed marks, a failed
// commit to try again): due nCommitMs from now unless it is due already. The writer is woken only when
// it would sleep past that.
void BatchDue(TMyData& d, TMyData::Clock::time_point now);

// Under d.mutex: the writer commits at once (a renewal, a burst, the close).
void DueNow(TMyData& d, TMyData::Clock::time_point now);

// Under d.mutex, WriteOut's: true when it writes the buffer itself now, false when that is the
// writer's (nothing buffered, the writer holds the file, or the next segment must begin first).
bool WriteOutNow(const TMyData& d) noexcept;

// Under d.mutex, the writer's: when its next commit is; at or before now: at once; the clock's end:
// nothing is due, it sleeps until woken. bAsked: a Sync waits. While documents keep coming it commits
// on a tick, nCommitMs after the last commit began, whatever came since: an Append then never has to
// wake it, and it wakes once a batch. With nothing come by the tick it sleeps until an Append wakes it.
TMyData::Clock::time_point CommitAt(TMyData& d, bool bAsked, TMyData::Clock::time_point now);

// The writer's, after a commit that began at began: bWrote, it wrote documents not synced before.
void Committed(TMyData& d, TMyData::Clock::time_point began, bool bWrote);

// The reservation a commit syncs: bWrite, a reserve record up to nReserve goes with it.
struct TReservation {
  bool bWrite = false;
  std::uint64_t nReserve = 0;
};
// Under d.mutex, the writer's, for a commit of nBatchDocs documents while seq nNextSeq is the next to
// be given; bClosing: the close's last commit, which releases the reservation.
TReservation Reservation(const TMyData& d, std::size_t nBatchDocs, std::uint64_t nNextSeq,
                         bool bClosing) noexcept;

// The reservation synced at Init, before the first seq of this start is given.
std::uint64_t ReservationAtStart(std::uint64_t nNextSeq) noexcept;

// The writer's, after a commit: the newest segment, nSize of nLimit bytes written, is nearly full and
// the next one begins now, so that WriteOut always finds room and a kill finds every document in the file.
bool BeginNextEarly(std::int64_t nSize, std::int64_t nLimit) noexcept;

}  // namespace journal
