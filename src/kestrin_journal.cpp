// How it works: the journal is the files kestrin_journal_*: this one the public API and the lock (one
// bridge per journal); _format the records on the disk; _segments the segment files, their budget and
// retention and the recovery at Init; _sync the sync policy (when a batch is due, what WriteOut writes
// itself, the reservation, the early segment change); _writer the writer thread that commits by it.
// Append encodes a document record into a buffer under the mutex and returns; WriteOut, on the worker's
// thread once the document's publication started, writes the buffer with pwrite at the end of the newest
// segment (the page cache: no sync); the writer writes what WriteOut left and the marks, then syncs
// (fdatasync): nothing on the publishing path ever waits for the disk.
#include "kestrin_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kestrin_console.h"
#include "kestrin_journal_l.h"
#include "kestrin_journal_segments.h"
#include "kestrin_journal_sync.h"
#include "kestrin_journal_writer.h"

namespace journal {

namespace {

// How long WriteOut waits for the writer's put at most.
constexpr int kPutWaitMs = 50;

struct TDeleter {
  void operator()(TMyData* p) const {
    if (p->nFd >= 0) close(p->nFd);
    if (p->nDirFd >= 0) close(p->nDirFd);
    if (p->nLockFd >= 0) close(p->nLockFd);
    delete p;
  }
};
using TJournalPtr = std::unique_ptr<TMyData, TDeleter>;

// One bridge per journal: two would number and write one wheel's documents over each other. The lock
// file names the holder's PID for the line that refuses a second; the lock goes with the process.
bool Lock(TMyData& d) {
  d.nLockFd = openat(d.nDirFd, "lock", O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (d.nLockFd < 0) {
    SayFailure(d, "lock");
    return false;
  }
  if (flock(d.nLockFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      SayFailure(d, "lock");
      return false;
    }
    char text[24] = "";
    const ssize_t n = ReadAt(d.nLockFd, reinterpret_cast<unsigned char*>(text), sizeof text - 1, 0);
    const long nPid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    console::Warning(
        "The journal of wheel %s in %s is in use by another bridge (PID %ld): this one does not "
        "open it\n",
        d.wheel.c_str(), d.dir.c_str(), nPid);
    return false;
  }
  char text[24];
  const int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(d.nLockFd, 0) != 0 ||
      !WriteAt(d.nLockFd, reinterpret_cast<const unsigned char*>(text), static_cast<std::size_t>(n), 0))
    SayFailure(d, "write the lock of");  // the lock holds all the same
  return true;
}

bool MakeDirectories(const std::string& path) {
  for (std::size_t nAt = 1; nAt <= path.size(); ++nAt) {
    if (nAt < path.size() && path[nAt] != '/') continue;
    const std::string part = path.substr(0, nAt);
    if (mkdir(part.c_str(), 0750) == 0) {
      // Its entry synced too: a new box's first start must not vanish with its numbering in a power cut.
      const int fd = open((part + "/..").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd >= 0) {
        fsync(fd);
        close(fd);
      }
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

}  // namespace

ThKestrinJournal Init(const char* pDirectory, const char* pWheel, const TOptions* pOptions) noexcept {
  if (pDirectory == nullptr || pWheel == nullptr || pWheel[0] == '\0' || std::strchr(pWheel, '/') != nullptr)
    return nullptr;
  const TOptions options = pOptions != nullptr ? *pOptions : TOptions{};
  if (options.nSegmentBytes < 4096 || options.nSegments < 2 || options.nCommitMs < 1 ||
      options.nCommitMs > 1000)
    return nullptr;
  try {
    TJournalPtr pData(new TMyData);
    TMyData& d = *pData;
    d.dir = std::string(pDirectory) + "/" + pWheel;
    d.wheel = pWheel;
    d.options = options;
    if (!MakeDirectories(d.dir)) {
      SayFailure(d, "make the directory of");
      return nullptr;
    }
    d.nDirFd = open(d.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.nDirFd < 0) {
      SayFailure(d, "open");
      return nullptr;
    }
    if (!Lock(d)) return nullptr;
    std::uint64_t nMaxEpoch = 0;
    if (!Recover(d, &nMaxEpoch)) return nullptr;
    d.nEpoch = nMaxEpoch + 1;
    d.nWrittenSeq = d.nNextSeq - 1;
    d.figures.nSynced = d.nWrittenSeq;
    // This start is counted on the disk before any document of it is numbered.
    std::vector<unsigned char> start;
    EncodeStart(start, d.nEpoch, d.nNextSeq);
    d.nReserveOnDisk = ReservationAtStart(d.nNextSeq);
    EncodeReserve(start, d.nReserveOnDisk, WallMs());
    const bool bRoom =
        !d.segments.empty() &&
        d.segments.back().nSize + static_cast<std::int64_t>(start.size()) <= options.nSegmentBytes;
    if (!bRoom) {
      // A new segment's header holds the epoch and numbering itself.
      if (!BeginSegment(d, d.segments.empty() ? 1 : d.segments.back().nNumber + 1, d.nAcknowledged,
                        d.nConfirmed)) {
        SayFailure(d, "begin");
        return nullptr;
      }
    } else if (!Put(d, start.data(), start.size(), 0, 0, 0) || fdatasync(d.nFd) != 0) {
      SayFailure(d, "write");
      return nullptr;
    }
    d.nDiskNextSeq = d.nNextSeq;
    d.nReserved = d.nReserveOnDisk;
    d.writer = std::thread(WriterMain, &d);
    return pData.release();
  } catch (...) {
    return nullptr;
  }
}

int Append(ThKestrinJournal hJournal, const unsigned char* pFrame, std::int64_t nCapturedMs,
           std::uint64_t* pSeq, TLink* pLink) noexcept {
  if (hJournal == nullptr || pFrame == nullptr) return kBadArgument;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  try {
    std::lock_guard<std::mutex> lock(d.mutex);
    const std::uint64_t nSeq = d.nNextSeq++;
    if (pSeq != nullptr) *pSeq = nSeq;
    if (pLink != nullptr && (pLink->nPrevSeq >= nSeq || pLink->nPrevSeq == 0)) *pLink = TLink{};
    const auto now = TMyData::Clock::now();
    if (nSeq > d.nReserved) ++d.figures.nBeyondReserve;
    d.nNewestCapturedMs = std::max(d.nNewestCapturedMs, nCapturedMs);
    Numbered(d, nSeq, now);
    if (BufferFull(d)) {
      ++d.figures.nNotKept;
      ++d.nUnsaid;
      // One line when the buffer fills, at most one a minute however often it fills and drains.
      if (!d.bOverflowing && (!d.bSaidOverflow || now - d.saidOverflow >= std::chrono::minutes(1))) {
        console::Warning(
            "The journal of wheel %s does not keep up: the disk has not taken its last %zu documents;"
            " the newer ones are not kept until it does\n",
            d.wheel.c_str(), d.pending.size() / kDocumentBytes);
        d.bSaidOverflow = true;
        d.saidOverflow = now;
        d.bOverflowWarned = true;
      }
      d.bOverflowing = true;
      return kOverflow;
    }
    if (d.bOverflowing && d.bOverflowWarned) {
      console::Notice("The journal of wheel %s keeps up again; %ld documents were not kept\n",
                      d.wheel.c_str(), d.nUnsaid);
      d.nUnsaid = 0;
      d.bOverflowWarned = false;
    }
    d.bOverflowing = false;
    if (d.pending.capacity() == 0) d.pending.reserve(64 * kDocumentBytes);
    EncodeDocument(d.pending, nSeq, d.nEpoch, nCapturedMs, pFrame, pLink != nullptr ? *pLink : TLink{});
    Buffered(d, now);
    return kOk;
  } catch (...) {
    return kOverflow;
  }
}

namespace {
// Numbers stay below 2^53, which a JSON reader that keeps numbers as doubles (a browser's) reads
// exactly: a confirmation beyond it moves the numbering nowhere.
constexpr std::uint64_t kMaxSeq = std::uint64_t{1} << 53;

void SetMark(ThKestrinJournal hJournal, std::uint64_t nSeq, bool bConfirm) {
  if (hJournal == nullptr) return;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  std::lock_guard<std::mutex> lock(d.mutex);
  std::uint64_t& nMark = bConfirm ? d.nConfirmed : d.nAcknowledged;
  if (!bConfirm && nSeq >= d.nNextSeq) return;
  if (bConfirm && nSeq >= d.nNextSeq && nSeq < kMaxSeq) {
    // The site holds documents this journal never numbered (its directory lost, the wheel moved to
    // another box, a power cut's tail that had been published): new numbers would collide with them.
    // The next marks record keeps the numbering past them on the disk.
    console::Warning("The journal of wheel %s is behind the site: the site confirmed seq %" PRIu64
                     ", the journal's last seq is %" PRIu64 "; numbering goes on at seq %" PRIu64
                     ", and documents numbered before may collide with the site's\n",
                     d.wheel.c_str(), nSeq, d.nNextSeq - 1, nSeq + 1);
    d.nNextSeq = nSeq + 1;
  }
  nSeq = std::min(nSeq, d.nNextSeq - 1);
  if (nSeq <= nMark) return;
  nMark = nSeq;
  BatchDue(d, TMyData::Clock::now());
}
}  // namespace

void Acknowledge(ThKestrinJournal hJournal, std::uint64_t nSeq) noexcept { SetMark(hJournal, nSeq, false); }

void Confirm(ThKestrinJournal hJournal, std::uint64_t nSeq) noexcept { SetMark(hJournal, nSeq, true); }

void WriteOut(ThKestrinJournal hJournal) noexcept {
  if (hJournal == nullptr) return;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  std::vector<unsigned char> batch;
  {
    std::unique_lock<std::mutex> lock(d.mutex);
    // The writer holds the file to put its batch or swap a segment in (the page cache, a moment): that
    // is waited out, as documents left here would be lost to a kill; not its beginning of a segment
    // where the newest is full (the disk), nor a disk that throttles the page cache.
    d.idle.wait_for(lock, std::chrono::milliseconds(kPutWaitMs), [&] { return !d.bWriting || d.bBeginning; });
    if (!WriteOutNow(d)) return;
    batch.swap(d.pending);
    d.pending.swap(d.spare);
    d.bWriting = true;
  }
  const std::uint64_t nLast = DocumentSeqAt(batch.data() + batch.size() - kDocumentBytes);
  const bool bOk = Put(d, batch.data(), batch.size(), static_cast<long>(batch.size() / kDocumentBytes),
                       DocumentSeqAt(batch.data()), nLast);
  std::lock_guard<std::mutex> lock(d.mutex);
  if (bOk) {
    d.nWrittenSeq = nLast;
    d.nDiskNextSeq = std::max(d.nDiskNextSeq, nLast + 1);
    batch.clear();
    d.spare.swap(batch);
  } else {
    // Left to the writer, which tries again at its time and says so if the disk refuses.
    batch.insert(batch.end(), d.pending.begin(), d.pending.end());
    d.pending.swap(batch);
  }
  d.bWriting = false;
  d.idle.notify_all();
}

int Read(ThKestrinJournal hJournal, std::uint64_t nAfterSeq, TRecord* pRecords, int nMax) noexcept {
  if (hJournal == nullptr || pRecords == nullptr || nMax < 0) return kBadArgument;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  try {
    std::deque<TSegment> segments;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      segments = d.segments;
    }
    // Everything before the cursor has a seq up to the cursor's: a call that asks for what follows it
    // goes on from there; any other starts in the first segment that holds a later document.
    auto it = segments.end();
    std::int64_t nOffset = 0;
    if (d.bCursor && d.nReadSeq == nAfterSeq)
      it = std::find_if(segments.begin(), segments.end(),
                        [&](const TSegment& s) { return s.nNumber == d.nReadSegment; });
    if (it != segments.end())
      nOffset = d.nReadOffset;
    else
      it = std::find_if(segments.begin(), segments.end(),
                        [&](const TSegment& s) { return s.nFirstSeq != 0 && s.nLastSeq > nAfterSeq; });
    int nGot = 0;
    std::vector<unsigned char> buffer(std::min<std::size_t>(64 * 1024, kDocumentBytes * (nMax + 16)));
    for (; it != segments.end(); ++it, nOffset = 0) {
      if (d.nReadFd < 0 || d.nReadSegment != it->nNumber) {
        if (d.nReadFd >= 0) close(d.nReadFd);
        d.nReadSegment = it->nNumber;
        d.nReadFd = open(SegmentName(d.dir, it->nNumber).c_str(), O_RDONLY | O_CLOEXEC);
        if (d.nReadFd < 0) continue;  // given way just now
      }
      while (nOffset < it->nSize && nGot < nMax) {
        const auto nWant =
            std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(it->nSize - nOffset));
        const ssize_t n = ReadAt(d.nReadFd, buffer.data(), nWant, nOffset);
        if (n <= 0) break;
        std::size_t nAt = 0;
        TFound f;
        while (nGot < nMax && Parse(buffer.data() + nAt, static_cast<std::size_t>(n) - nAt, &f)) {
          nAt += f.nBytes;
          if (DocumentSeq(f) <= nAfterSeq) continue;  // 0: not a document
          DecodeDocument(f, &pRecords[nGot]);
          nAfterSeq = pRecords[nGot++].nSeq;
        }
        if (nAt == 0) {  // the segment's unwritten room, or a record that does not check out: the next one
          const auto nHead = std::min<std::size_t>(static_cast<std::size_t>(n), kRecordHead);
          if (!std::all_of(buffer.data(), buffer.data() + nHead, [](unsigned char c) { return c == 0; }))
            console::Warning(
                "The journal of wheel %s holds a record that does not check out in %s at byte %" PRId64
                "; reading goes on in the next segment\n",
                d.wheel.c_str(), SegmentName(d.dir, it->nNumber).c_str(), nOffset);
          nOffset = it->nSize;
          break;
        }
        nOffset += static_cast<std::int64_t>(nAt);
      }
      d.bCursor = true;
      d.nReadOffset = nOffset;
      d.nReadSeq = nAfterSeq;
      if (nGot >= nMax) break;
    }
    return nGot;
  } catch (...) {
    return kFailed;
  }
}

bool ReadLast(ThKestrinJournal hJournal, TRecord* pRecord) noexcept {
  if (hJournal == nullptr || pRecord == nullptr) return false;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  std::uint64_t nLast = 0;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    for (const TSegment& s : d.segments) nLast = std::max(nLast, s.nLastSeq);
  }
  return nLast > 0 && Read(hJournal, nLast - 1, pRecord, 1) == 1 && pRecord->nSeq == nLast;
}

bool Sync(ThKestrinJournal hJournal, int nTimeoutMs) noexcept {
  if (hJournal == nullptr) return false;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  try {
    std::unique_lock<std::mutex> lock(d.mutex);
    const std::uint64_t nTarget = ++d.nSyncRequests;
    d.wake.notify_one();
    if (!d.synced.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                           [&] { return d.nSyncsDone >= nTarget; }))
      return false;
    return !d.bLastCommitFailed;
  } catch (...) {
    return false;
  }
}

void GetState(ThKestrinJournal hJournal, TState* pState) noexcept {
  if (hJournal == nullptr || pState == nullptr) return;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  std::lock_guard<std::mutex> lock(d.mutex);
  *pState = d.figures;
  pState->nEpoch = d.nEpoch;
  pState->nNextSeq = d.nNextSeq;
  pState->nAcknowledged = d.nAcknowledged;
  pState->nConfirmed = d.nConfirmed;
  pState->nFirstSeq = 0;
  pState->nBytes = 0;
  for (const TSegment& s : d.segments) {
    if (pState->nFirstSeq == 0) pState->nFirstSeq = s.nFirstSeq;
    pState->nBytes += s.nSize;
  }
}

void Destroy(ThKestrinJournal hJournal) noexcept {
  if (hJournal == nullptr) return;
  TJournalPtr pData(static_cast<TMyData*>(hJournal));
  {
    std::lock_guard<std::mutex> lock(pData->mutex);
    pData->bStop = true;
    // The last commit releases the reservation: the next start numbers on without a skip.
    DueNow(*pData, TMyData::Clock::now());
  }
  if (pData->writer.joinable()) pData->writer.join();
  if (pData->nUnsaid > 0)
    console::Notice("The journal of wheel %s did not keep up: %ld documents were not kept\n",
                    pData->wheel.c_str(), pData->nUnsaid);
  if (pData->nReadFd >= 0) close(pData->nReadFd);
}

}  // namespace journal
