// How it works: a segment is begun with its header (the epoch, the next seq, the marks and the
// reservation), its room allocated and the header synced with its directory entry, before it takes the
// file: records are put at the end of the newest by whoever holds the file, and WriteOut writes on into
// the newest's margin while the next is made. Beyond the segments allowed the oldest file is removed,
// counted, and as a segment begins those the site has confirmed go once the retention has passed.
// Recovery reads the newest segment whole, only the first records of the others, and the tail of the
// one before the newest when that holds no document yet.
#include "kestrin_journal_segments.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "kestrin_console.h"
#include "kestrin_journal_sync.h"

namespace journal {

namespace {

// "2026-12-08T23:30:02.125Z"
std::string Utc(std::int64_t nMs) {
  const std::time_t t = static_cast<std::time_t>(nMs / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(nMs % 1000));
  return text;
}

// The segment numbers in dir, oldest first.
std::vector<std::uint64_t> ListSegments(int nDirFd) {
  std::vector<std::uint64_t> numbers;
  const int fd = openat(nDirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return numbers;
  DIR* pDir = fdopendir(fd);
  if (pDir == nullptr) {
    close(fd);
    return numbers;
  }
  while (dirent* pEntry = readdir(pDir)) {
    const char* n = pEntry->d_name;
    if (std::strlen(n) != 18 || std::strcmp(n + 10, ".journal") != 0) continue;
    if (!std::all_of(n, n + 10, [](char c) { return c >= '0' && c <= '9'; })) continue;
    numbers.push_back(std::strtoull(n, nullptr, 10));
  }
  closedir(pDir);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

bool ReadFile(int fd, std::vector<unsigned char>& out) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  out.resize(static_cast<std::size_t>(st.st_size));
  const ssize_t n = ReadAt(fd, out.data(), out.size(), 0);
  if (n < 0) return false;
  out.resize(static_cast<std::size_t>(n));
  return true;
}

// The last document of a segment of nSize bytes, read from its tail: the written part ends where its
// allocated room (zeros) begins, and the records before that are found by their checksums, trying each
// offset of the tail until the records from there run past the last byte that is not zero (a record
// may end in zeros: a number's high bytes, an empty link). False when the tail holds no document.
bool LastDocument(int fd, std::int64_t nSize, std::uint64_t* pSeq, std::int64_t* pCapturedMs) {
  constexpr std::int64_t kTail = 64 * 1024, kPast = 256;
  std::vector<unsigned char> tail(kTail);
  std::int64_t nEnd = nSize;  // after the last byte that is not zero
  for (bool bFound = false; nEnd > 0 && !bFound;) {
    const std::int64_t nAt = std::max<std::int64_t>(0, nEnd - kTail);
    if (ReadAt(fd, tail.data(), static_cast<std::size_t>(nEnd - nAt), nAt) != nEnd - nAt) return false;
    while (nEnd > nAt && tail[static_cast<std::size_t>(nEnd - nAt - 1)] == 0) --nEnd;
    bFound = nEnd > nAt;
  }
  const std::int64_t nFrom = std::max<std::int64_t>(0, nEnd + kPast - kTail);
  const ssize_t n = ReadAt(fd, tail.data(), tail.size(), nFrom);
  const auto nData = static_cast<std::size_t>(nEnd - nFrom);
  for (std::size_t nStart = 0; n > 0 && nStart < kPast && nStart < nData; ++nStart) {
    TFound f;
    const unsigned char* pLast = nullptr;
    std::size_t nAt = nStart;
    while (Parse(tail.data() + nAt, static_cast<std::size_t>(n) - nAt, &f)) {
      if (DocumentSeq(f) != 0) pLast = tail.data() + nAt;
      nAt += f.nBytes;
    }
    if (nAt < nData) continue;  // not where a record begins
    if (pLast == nullptr) return false;
    *pSeq = DocumentSeqAt(pLast);
    *pCapturedMs = DocumentCapturedAt(pLast);
    return true;
  }
  return false;
}

// A segment's room is allocated when it begins: a write within the file's size, into blocks it already
// has, leaves fdatasync nothing but the data to write, where a write that makes the file longer also
// commits the file system's journal at each sync (on ext4 four times the bytes). Where the file system
// cannot allocate, the segment grows as it is written.
void Allocate(const TMyData& d, int fd) { fallocate(fd, 0, 0, static_cast<off_t>(d.options.nSegmentBytes)); }

// Writer, as a segment begins: the oldest segments whose documents the site has all confirmed go once
// the retention has passed since the next one began (the newest document's time is the clock, so a
// wheel switched off for a week keeps its journal), always leaving two.
void Retain(TMyData& d) {
  std::vector<std::uint64_t> gone;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    while (d.options.nRetentionMs > 0 && d.segments.size() > 2) {
      const TSegment& oldest = d.segments[0];
      const TSegment& next = d.segments[1];
      if (next.nFirstCapturedMs == 0 ||
          next.nFirstCapturedMs > d.nNewestCapturedMs - d.options.nRetentionMs ||
          oldest.nLastSeq > d.nConfirmed)
        break;
      gone.push_back(oldest.nNumber);
      d.segments.pop_front();
    }
  }
  for (const std::uint64_t nNumber : gone) unlinkat(d.nDirFd, SegmentName("", nNumber).c_str() + 1, 0);
}

}  // namespace

void SayFailure(const TMyData& d, const char* pWhat) {
  console::Warning("Cannot %s the journal of wheel %s in %s: %s\n", pWhat, d.wheel.c_str(), d.dir.c_str(),
                   std::strerror(errno));
}

std::string SegmentName(const std::string& dir, std::uint64_t nNumber) {
  char name[32];
  std::snprintf(name, sizeof name, "/%010" PRIu64 ".journal", nNumber);
  return dir + name;
}

bool WriteAt(int fd, const unsigned char* p, std::size_t n, std::int64_t nAt) {
  while (n > 0) {
    const ssize_t nDone = pwrite(fd, p, n, nAt);
    if (nDone < 0 && errno == EINTR) continue;
    if (nDone <= 0) return false;
    p += nDone;
    n -= static_cast<std::size_t>(nDone);
    nAt += nDone;
  }
  return true;
}

ssize_t ReadAt(int fd, unsigned char* p, std::size_t n, std::int64_t nAt) {
  std::size_t nGot = 0;
  while (nGot < n) {
    const ssize_t nDone = pread(fd, p + nGot, n - nGot, nAt + static_cast<std::int64_t>(nGot));
    if (nDone < 0 && errno == EINTR) continue;
    if (nDone < 0) return -1;
    if (nDone == 0) break;
    nGot += static_cast<std::size_t>(nDone);
  }
  return static_cast<ssize_t>(nGot);
}

std::int64_t WallMs() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// A new segment nNumber whose numbering begins at nFrom, made without the file: created, its room
// allocated, its header (and the reservation, which goes on in it: recovery reads the newest whole)
// written and synced with its directory entry, so that a power cut never leaves the newest segment
// without it. Its descriptor, or -1 (errno says why; nothing is left behind).
int PrepareSegment(const TMyData& d, std::uint64_t nNumber, std::uint64_t nFrom, std::uint64_t nAck,
                   std::uint64_t nConfirm, std::vector<unsigned char>& header) {
  const std::string path = SegmentName(d.dir, nNumber);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return -1;
  Allocate(d, fd);
  EncodeHeader(header, nNumber, d.nEpoch, nFrom, nAck, nConfirm);
  if (d.nReserveOnDisk >= nFrom) EncodeReserve(header, d.nReserveOnDisk, WallMs());
  if (!WriteAt(fd, header.data(), header.size(), 0) || fdatasync(fd) != 0 || fsync(d.nDirFd) != 0) {
    const int nError = errno;
    close(fd);
    unlink(path.c_str());
    errno = nError;
    return -1;
  }
  return fd;
}

// Whoever holds the file, with the segment fd of nBytes prepared: it becomes the newest. Beyond the
// segments allowed the oldest gives way, counted; its number, to be removed, or 0.
std::uint64_t Adopt(TMyData& d, int fd, std::uint64_t nNumber, std::int64_t nBytes) {
  d.nFd = fd;
  std::lock_guard<std::mutex> lock(d.mutex);
  d.segments.push_back({nNumber, 0, 0, nBytes, 0});
  if (d.segments.size() <= static_cast<std::size_t>(d.options.nSegments)) return 0;
  const TSegment gone = d.segments.front();
  d.segments.pop_front();
  if (gone.nFirstSeq != 0) {
    // Documents not kept leave their seq unused: a segment counted as it was written says exactly.
    const long nSpan = static_cast<long>(gone.nLastSeq - gone.nFirstSeq + 1);
    const long nDocs = gone.nDocs >= 0 ? gone.nDocs : nSpan;
    const std::uint64_t nKeep = std::max(d.nConfirmed, gone.nFirstSeq - 1);
    const long nUnconfirmed =
        gone.nLastSeq > nKeep ? std::min(nDocs, static_cast<long>(gone.nLastSeq - nKeep)) : 0;
    d.figures.nGivenWay += nDocs;
    d.figures.nGivenWayUnconfirmed += nUnconfirmed;
    console::Warning("The journal of wheel %s is full: its oldest %ld documents (seq %" PRIu64 " to %" PRIu64
                     ") gave way, %ld of them not confirmed by the site\n",
                     d.wheel.c_str(), nDocs, gone.nFirstSeq, gone.nLastSeq, nUnconfirmed);
  }
  return gone.nNumber;
}

void Remove(const TMyData& d, std::uint64_t nNumber) {
  if (nNumber != 0) unlinkat(d.nDirFd, SegmentName("", nNumber).c_str() + 1, 0);
}

}  // namespace

bool BeginSegment(TMyData& d, std::uint64_t nNumber, std::uint64_t nAck, std::uint64_t nConfirm) {
  // The newest stays open as the newest until the new one's header is on the disk: a segment that
  // cannot begin (a full disk) leaves the journal writing on where it was, never into the new file.
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.bBeginning = true;  // WriteOut does not wait for the file meanwhile: the disk is slow
    d.idle.notify_all();
  }
  if (d.nFd >= 0) fdatasync(d.nFd);
  std::vector<unsigned char> header;
  const int fd = PrepareSegment(d, nNumber, d.nWrittenSeq + 1, nAck, nConfirm, header);
  const int nOld = d.nFd;
  const std::uint64_t nGone = fd >= 0 ? Adopt(d, fd, nNumber, static_cast<std::int64_t>(header.size())) : 0;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.bBeginning = false;
  }
  if (fd < 0) return false;
  if (nOld >= 0) close(nOld);
  Remove(d, nGone);
  return true;
}

void ChangeSegment(TMyData& d, std::uint64_t nAck, std::uint64_t nConfirm, std::uint64_t nNextSeq) {
  std::uint64_t nNumber, nFrom;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!BeginNextEarly(d.segments.back().nSize, d.options.nSegmentBytes)) {
      nNumber = 0;
    } else {
      nNumber = d.segments.back().nNumber + 1;
      // Every document numbered before the commit is written (or not kept): the header may carry the
      // numbering; what WriteOut writes meanwhile goes into the newest's margin.
      nFrom = std::max(d.nWrittenSeq, nNextSeq - 1) + 1;
    }
  }
  if (nNumber != 0) {
    std::vector<unsigned char> header;
    const int fd = PrepareSegment(d, nNumber, nFrom, nAck, nConfirm, header);
    // The newest still has room: a segment that cannot begin yet costs nothing now. It is tried again
    // after the next batch, and said once.
    if (fd < 0 && !d.bBeginFailing) SayFailure(d, "begin the next segment of");
    d.bBeginFailing = fd < 0;
    if (fd >= 0) {
      std::unique_lock<std::mutex> lock(d.mutex);
      d.idle.wait(lock, [&] { return !d.bWriting; });  // WriteOut's put: the page cache, a moment
      d.bWriting = true;
      const std::uint64_t nWritten = d.nWrittenSeq;
      lock.unlock();
      // Documents WriteOut wrote since the header was made: the numbering goes on after them.
      const auto nAt = static_cast<std::int64_t>(header.size());
      std::vector<unsigned char> marks;
      if (nWritten >= nFrom) EncodeMarks(marks, nAck, nConfirm, nWritten + 1);
      const bool bMarks = marks.empty() || WriteAt(fd, marks.data(), marks.size(), nAt);
      const int nOld = d.nFd;
      const std::uint64_t nGone =
          bMarks ? Adopt(d, fd, nNumber, nAt + static_cast<std::int64_t>(marks.size())) : 0;
      if (bMarks) d.nWrittenSeq = std::max(nWritten, nFrom - 1);
      lock.lock();
      d.bWriting = false;
      d.idle.notify_all();
      lock.unlock();
      if (bMarks) {
        // What WriteOut put into the old one is synced before it closes.
        fdatasync(nOld);
        close(nOld);
        Remove(d, nGone);
      } else {
        if (!d.bBeginFailing) SayFailure(d, "begin the next segment of");
        d.bBeginFailing = true;
        close(fd);
        unlink(SegmentName(d.dir, nNumber).c_str());
      }
    }
  }
  Retain(d);
}

bool Put(TMyData& d, const unsigned char* p, std::size_t n, long nDocs, std::uint64_t nFirstSeq,
         std::uint64_t nLastSeq) {
  std::int64_t nAt;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    nAt = d.segments.back().nSize;
  }
  if (!WriteAt(d.nFd, p, n, nAt)) {
    const int nError = errno;
    if (ftruncate(d.nFd, nAt) != 0) errno = nError;  // a part written is cut again, or recovery cuts it
    return false;
  }
  std::lock_guard<std::mutex> lock(d.mutex);
  TSegment& s = d.segments.back();
  s.nSize = nAt + static_cast<std::int64_t>(n);
  if (nLastSeq != 0) {
    if (s.nFirstSeq == 0) {
      s.nFirstSeq = nFirstSeq;
      s.nFirstCapturedMs = DocumentCapturedAt(p);
    }
    s.nLastSeq = nLastSeq;
    if (s.nDocs >= 0) s.nDocs += nDocs;
  }
  return true;
}

bool Write(TMyData& d, std::vector<unsigned char>& batch, std::uint64_t nAck, std::uint64_t nConfirm,
           std::uint64_t nNextSeq, bool bMarks, bool bReserve, std::uint64_t nReserve) {
  const std::int64_t nLimit = d.options.nSegmentBytes;
  if (bReserve) d.nReserveOnDisk = nReserve;  // a segment begun on the way carries it in its header
  std::vector<unsigned char> tail;
  if (bMarks) EncodeMarks(tail, nAck, nConfirm, nNextSeq);
  if (bReserve) EncodeReserve(tail, nReserve, WallMs());
  auto newest = [&d](std::int64_t* pSize, std::uint64_t* pNumber) {
    std::lock_guard<std::mutex> lock(d.mutex);
    *pSize = d.segments.back().nSize;
    *pNumber = d.segments.back().nNumber;
  };
  std::int64_t nSize;
  std::uint64_t nNumber;
  newest(&nSize, &nNumber);
  if (!batch.empty() && nSize + static_cast<std::int64_t>(batch.size() + tail.size()) <= nLimit) {
    // The usual batch, with its marks, in one write.
    const long nDocs = static_cast<long>(batch.size() / kDocumentBytes);
    const std::uint64_t nFirst = DocumentSeqAt(batch.data());
    const std::uint64_t nLast = DocumentSeqAt(batch.data() + batch.size() - kDocumentBytes);
    batch.insert(batch.end(), tail.begin(), tail.end());
    if (!Put(d, batch.data(), batch.size(), nDocs, nFirst, nLast)) return false;
    d.nWrittenSeq = nLast;
  } else {
    for (std::size_t nAt = 0; nAt < batch.size();) {
      newest(&nSize, &nNumber);
      const std::size_t nRoom =
          nLimit > nSize ? static_cast<std::size_t>(nLimit - nSize) / kDocumentBytes * kDocumentBytes : 0;
      if (nRoom == 0) {
        if (!BeginSegment(d, nNumber + 1, nAck, nConfirm)) return false;
        continue;
      }
      const std::size_t n = std::min(nRoom, batch.size() - nAt);
      const std::uint64_t nFirst = DocumentSeqAt(batch.data() + nAt);
      const std::uint64_t nLast = DocumentSeqAt(batch.data() + nAt + n - kDocumentBytes);
      if (!Put(d, batch.data() + nAt, n, static_cast<long>(n / kDocumentBytes), nFirst, nLast)) return false;
      d.nWrittenSeq = nLast;
      nAt += n;
    }
    newest(&nSize, &nNumber);
    if (!tail.empty() && nSize + static_cast<std::int64_t>(tail.size()) > nLimit) {
      d.nWrittenSeq = nNextSeq - 1;  // the new header carries the marks, the numbering and the reservation
      if (!BeginSegment(d, nNumber + 1, nAck, nConfirm)) return false;
    } else if (!tail.empty() && !Put(d, tail.data(), tail.size(), 0, 0, 0)) {
      return false;
    }
  }
  return true;
}

bool Recover(TMyData& d, std::uint64_t* pMaxEpoch) {
  std::vector<std::uint64_t> numbers = ListSegments(d.nDirFd);
  TScan newest;
  // The newest segment with a header is read whole; a newer one without (cut short as it began) goes.
  while (!numbers.empty()) {
    const std::string path = SegmentName(d.dir, numbers.back());
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    std::vector<unsigned char> bytes;
    if (fd < 0 || !ReadFile(fd, bytes)) {
      if (fd >= 0) close(fd);
      SayFailure(d, "read");
      return false;
    }
    newest = Scan(bytes.data(), bytes.size(), false);
    if (!newest.bHeader) {
      close(fd);
      console::Warning(
          "The journal of wheel %s ended in a segment cut short as it began: %s (%zu bytes) removed\n",
          d.wheel.c_str(), path.c_str(), bytes.size());
      unlink(path.c_str());
      numbers.pop_back();
      continue;
    }
    // After the last whole record: the segment's room, never written (zeros), or what a power cut or a
    // bad sector left, which is cut off (and the room allocated again).
    std::size_t nEnd = bytes.size();
    while (nEnd > newest.nWhole && bytes[nEnd - 1] == 0) --nEnd;
    if (nEnd > newest.nWhole) {
      console::Warning(
          "The journal of wheel %s ended in a torn or corrupt record: %zu bytes cut after seq %" PRIu64
          " in %s\n",
          d.wheel.c_str(), nEnd - newest.nWhole, newest.nNextSeq - 1, path.c_str());
      const bool bCut = ftruncate(fd, static_cast<off_t>(newest.nWhole)) == 0;
      if (bCut) Allocate(d, fd);
      if (!bCut || fdatasync(fd) != 0) {
        SayFailure(d, "cut");
        close(fd);
        return false;
      }
    }
    d.nFd = fd;
    d.segments.push_back({numbers.back(), newest.nFirstSeq, newest.nLastSeq,
                          static_cast<std::int64_t>(newest.nWhole), newest.nDocs, newest.nFirstCapturedMs});
    d.nNewestCapturedMs = newest.nLastCapturedMs;
    numbers.pop_back();
    break;
  }
  // The older ones: their first documents; each ends where the next one's numbering begins.
  std::uint64_t nNextBegins = newest.nFirstSeq != 0 ? newest.nFirstSeq : newest.nBegins;
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
    const std::string path = SegmentName(d.dir, *it);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char head[4096];
    const ssize_t n = fd < 0 ? -1 : ReadAt(fd, head, sizeof head, 0);
    struct stat st {};
    const bool bStat = fd >= 0 && fstat(fd, &st) == 0;
    const TScan s = n > 0 ? Scan(head, static_cast<std::size_t>(n), true) : TScan{};
    // The newest holds no document yet (just begun): the last one, and when it was captured, is this
    // one's last, which may come after the newest's numbering began (written out as it began).
    const bool bTail = s.bHeader && bStat && s.nFirstSeq != 0 && newest.nLastSeq == 0 &&
                       it == numbers.rbegin() &&
                       LastDocument(fd, st.st_size, &newest.nLastSeq, &newest.nLastCapturedMs);
    if (fd >= 0) close(fd);
    if (!s.bHeader || !bStat) {
      console::Warning("The journal of wheel %s holds a segment that does not check out: %s removed\n",
                       d.wheel.c_str(), path.c_str());
      unlink(path.c_str());
      continue;
    }
    TSegment seg{*it, s.nFirstSeq, 0, st.st_size, -1, s.nFirstCapturedMs};
    if (s.nFirstSeq != 0) seg.nLastSeq = std::max(s.nFirstSeq, nNextBegins - 1);
    if (bTail) {
      seg.nLastSeq = std::max(seg.nLastSeq, newest.nLastSeq);
      d.nNewestCapturedMs = newest.nLastCapturedMs;
      newest.nNextSeq = std::max(newest.nNextSeq, newest.nLastSeq + 1);
    }
    nNextBegins = s.nFirstSeq != 0 ? s.nFirstSeq : s.nBegins;
    d.segments.push_front(seg);
    *pMaxEpoch = std::max(*pMaxEpoch, s.nEpoch);
  }
  // Segments beyond those allowed now (a smaller bound than before) give way at once.
  while (d.segments.size() > static_cast<std::size_t>(d.options.nSegments)) {
    const TSegment gone = d.segments.front();
    d.segments.pop_front();
    if (gone.nFirstSeq != 0)
      d.figures.nGivenWay +=
          gone.nDocs >= 0 ? gone.nDocs : static_cast<long>(gone.nLastSeq - gone.nFirstSeq + 1);
    unlink(SegmentName(d.dir, gone.nNumber).c_str());
  }
  *pMaxEpoch = std::max(*pMaxEpoch, newest.nEpoch);
  d.nNextSeq = d.segments.empty() ? 1 : newest.nNextSeq;
  d.figures.nLastDocSeq = newest.nLastSeq != 0 ? newest.nLastSeq : d.nNextSeq - 1;
  d.figures.nLastDocCapturedMs = newest.nLastCapturedMs;
  if (!d.segments.empty() && newest.nReserved >= d.nNextSeq) {
    // Not closed cleanly: any seq reserved may have named a published document that never reached the
    // disk, so none is given again.
    d.figures.nSkippedFirst = d.nNextSeq;
    d.figures.nSkippedLast = newest.nReserved;
    const std::string last = newest.nLastSeq != 0
                                 ? "its last document is seq " + std::to_string(newest.nLastSeq) +
                                       ", captured " + Utc(newest.nLastCapturedMs)
                             : d.nNextSeq > 1 ? "its last document is seq " + std::to_string(d.nNextSeq - 1)
                                              : std::string("it holds no document");
    console::Warning(
        "The journal of wheel %s was not closed cleanly (a crash, a kill or a power cut): %s; frames "
        "read after it may be lost, and seq %" PRIu64 " to %" PRIu64
        ", which may have been published, are skipped: numbering goes on at seq %" PRIu64 "\n",
        d.wheel.c_str(), last.c_str(), d.nNextSeq, newest.nReserved, newest.nReserved + 1);
    d.nNextSeq = newest.nReserved + 1;
  }
  d.nAcknowledged = d.nAckWritten = newest.nAck;
  d.nConfirmed = d.nConfirmWritten = newest.nConfirm;
  return true;
}

}  // namespace journal
