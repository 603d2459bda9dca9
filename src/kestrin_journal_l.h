// The journal's record, seen by the journal's own files and its tests: its state, guarded as each part
// says, and the segments it holds. The records' format on the disk is kestrin_journal_format.h.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrin_journal.h"
#include "kestrin_journal_format.h"

namespace journal {

struct TSegment {
  std::uint64_t nNumber = 0;
  std::uint64_t nFirstSeq = 0;  // its oldest document; 0: none yet
  std::uint64_t nLastSeq = 0;
  std::int64_t nSize = 0;             // bytes written
  long nDocs = 0;                     // documents in it; -1: not counted (an older segment found at Init)
  std::int64_t nFirstCapturedMs = 0;  // its oldest document's capture time: the segment before ended then
};

struct TMyData {
  using Clock = std::chrono::steady_clock;
  std::string dir;  // DIRECTORY/WHEEL
  std::string wheel;
  TOptions options;
  std::uint64_t nEpoch = 0;
  int nDirFd = -1;
  int nLockFd = -1;  // DIRECTORY/WHEEL/lock, locked (flock) while this journal is open

  // The file's: written by whoever holds bWriting, the writer or WriteOut; only the writer opens and
  // closes segments.
  int nFd = -1;                   // the newest segment
  std::uint64_t nWrittenSeq = 0;  // the last document written (kept or not)

  // The writer's alone.
  bool bFailing = false;             // the last commit failed; a line says when writing works again
  bool bBeginFailing = false;        // the next segment could not begin early; a line said so
  bool bTicking = false;             // documents keep coming: the next commit is due by the tick
  Clock::time_point tick{};          // kCommitMs after the last commit began
  std::uint64_t nReserveOnDisk = 0;  // the reservation the newest segment's records carry
  long nFailedDocs = 0;              // documents not kept since writing began to fail

  // Guarded by mutex.
  std::mutex mutex;
  std::condition_variable wake;        // the writer's
  std::condition_variable synced;      // Sync's
  std::vector<unsigned char> pending;  // documents, encoded
  std::vector<unsigned char> spare;    // WriteOut's other buffer, so that appending allocates nothing
  bool bWriting = false;               // the file is held (see nFd)
  std::condition_variable idle;        // bWriting ended
  bool bBeginning = false;             // the writer holds the file to begin a segment (the disk)
  bool bDue = false;                   // something waits for the writer, by due
  Clock::time_point due{};
  Clock::time_point wakeBy{};  // when the writer wakes by itself: later than a due, it is woken
  std::uint64_t nNextSeq = 1;
  std::uint64_t nAcknowledged = 0, nConfirmed = 0;
  std::uint64_t nDiskNextSeq = 1;  // the next seq that the records on the disk imply
  std::uint64_t nAckWritten = 0, nConfirmWritten = 0;
  std::int64_t nNewestCapturedMs = 0;  // the newest document's capture time: the retention's clock
  std::uint64_t nReserved = 0;         // synced: no seq up to it can name a frame of an earlier start
  bool bRenewing = false;              // Append asked the writer to renew the reservation
  std::deque<TSegment> segments;       // oldest first; the last is the writer's
  std::uint64_t nSyncRequests = 0, nSyncsDone = 0;
  bool bLastCommitFailed = false;
  bool bOverflowing = false;     // the buffer is full
  bool bOverflowWarned = false;  // and a line said so
  bool bSaidOverflow = false;
  Clock::time_point saidOverflow{};
  long nUnsaid = 0;  // documents the full buffer refused that no line has counted yet
  bool bStop = false;
  TState figures;  // the counts; the seqs and marks are filled in by GetState

  std::thread writer;

  // The reading thread's cursor: where the last Read ended.
  int nReadFd = -1;
  std::uint64_t nReadSegment = 0;
  std::int64_t nReadOffset = 0;
  std::uint64_t nReadSeq = 0;  // every document before the cursor has a seq up to this
  bool bCursor = false;
};

}  // namespace journal
