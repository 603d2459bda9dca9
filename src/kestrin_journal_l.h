// The journal's record and its format on the disk; only the journal and its tests see it.
//
// A segment file DIRECTORY/WHEEL/NNNNNNNNNN.journal (its number, from 1) is a run of records, each
//   u32 CRC32C of the rest of the record | u16 length of the body | u8 type | u8 0 | body
// with every number little-endian. The first record of a segment is its header, so that any segment
// alone tells the numbering and the marks and the older ones can go without losing them.
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

namespace journal {

constexpr std::size_t kRecordHead = 8;
// Header: u32 "KJNL", u32 version, u64 segment number, u64 epoch, u64 next seq, u64 acknowledged,
// u64 confirmed.
constexpr std::uint8_t kTypeHeader = 1;
constexpr std::size_t kHeaderBody = 48;
// Document: u64 seq, u64 epoch, i64 captured (ms since the Unix epoch), the frame's 42 bytes, u64
// prevseq, the previous document's 32-byte hash (zeros with prevseq 0): what its signature covers
// besides the frame, so that a document read back is signed again identically and the chain goes on.
constexpr std::uint8_t kTypeDocument = 5;
constexpr std::size_t kDocumentBody = 24 + kFrameLength + 8 + kHashLength;
constexpr std::size_t kDocumentBytes = kRecordHead + kDocumentBody;  // 114
// The document of journals written before documents were chained: the same without prevseq and hash;
// read (as the chain's start), never written.
constexpr std::uint8_t kTypeDocumentUnchained = 2;
constexpr std::size_t kUnchainedBody = 24 + kFrameLength;
// Start: u64 epoch, u64 next seq; one at each Init.
constexpr std::uint8_t kTypeStart = 3;
constexpr std::size_t kStartBody = 16;
// Marks: u64 acknowledged, u64 confirmed, u64 next seq (documents not kept still used their seq).
constexpr std::uint8_t kTypeMarks = 4;
constexpr std::size_t kMarksBody = 24;
// Reserve: u64 reserved (no seq up to it may be given again after an unclean stop), i64 when written
// (ms since the Unix epoch). The writer keeps one synced ahead of the numbering; a clean close writes
// the next seq less one, which releases it.
constexpr std::uint8_t kTypeReserve = 6;
constexpr std::size_t kReserveBody = 16;
constexpr std::uint32_t kMagic = 0x4C4E4A4B;  // "KJNL"
constexpr std::uint32_t kVersion = 1;

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

std::uint32_t Crc32c(const unsigned char* p, std::size_t n) noexcept;

// One record found in bytes: its type, its body and its whole length; false when what is there does
// not check out (too short, a length the type does not have, a wrong checksum).
struct TFound {
  std::uint8_t nType = 0;
  const unsigned char* pBody = nullptr;
  std::size_t nBytes = 0;
};
bool Parse(const unsigned char* p, std::size_t n, TFound* pFound) noexcept;

struct TSegment {
  std::uint64_t nNumber = 0;
  std::uint64_t nFirstSeq = 0;  // its oldest document; 0: none yet
  std::uint64_t nLastSeq = 0;
  std::int64_t nSize = 0;  // bytes written
  long nDocs = 0;          // documents in it; -1: not counted (an older segment found at Init)
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
  bool bFailing = false;          // the last commit failed; a line says when writing works again
  std::uint64_t nReserveOnDisk = 0;  // the reservation the newest segment's records carry
  long nFailedDocs = 0;           // documents not kept since writing began to fail

  // Guarded by mutex.
  std::mutex mutex;
  std::condition_variable wake;        // the writer's
  std::condition_variable synced;      // Sync's
  std::vector<unsigned char> pending;  // documents, encoded
  std::vector<unsigned char> spare;    // WriteOut's other buffer, so that appending allocates nothing
  bool bWriting = false;               // the file is held (see nFd)
  std::condition_variable idle;        // bWriting ended
  bool bDue = false;                   // something waits for the writer, by due
  Clock::time_point due{};
  Clock::time_point wakeBy{};          // when the writer wakes by itself: later than a due, it is woken
  std::uint64_t nNextSeq = 1;
  std::uint64_t nAcknowledged = 0, nConfirmed = 0;
  std::uint64_t nDiskNextSeq = 1;  // the next seq that the records on the disk imply
  std::uint64_t nAckWritten = 0, nConfirmWritten = 0;
  std::int64_t nNewestCapturedMs = 0;  // the newest document's capture time: the retention's clock
  std::uint64_t nReserved = 0;  // synced: no seq up to it can name a frame of an earlier start
  bool bRenewing = false;       // Append asked the writer to renew the reservation
  long nLastBatchDocs = 0;      // documents in the last batch written: a burst reserves more
  std::deque<TSegment> segments;  // oldest first; the last is the writer's
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
