// How it works: Append encodes a document record into a buffer under the mutex and, for the first
// record of a batch, sets when it is due (kCommitMs later); it wakes the writer thread only when that
// one sleeps past the due. WriteOut, on the worker's thread once the document's publication started,
// writes the buffer with pwrite at the end of the newest segment (the page cache: no sync). The writer
// sleeps until a batch is due (or its tick, while documents keep coming; or a Sync asks, or the journal
// stops), writes what WriteOut left and the marks, then syncs (fdatasync): nothing on the publishing
// path ever waits for the disk. The file is one writer's at a time (bWriting). A segment that has no
// room for the next record is synced and closed, a new one begins with a header (epoch, next seq,
// marks), and beyond the segments allowed the oldest file is removed. Recovery reads the newest
// segment whole and only the first records of the others.
#include "kestrin_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <ctime>
#include <string>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kestrin_console.h"
#include "kestrin_journal_l.h"

namespace journal {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;  // Castagnoli, reflected
    table[i] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t Get32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
std::uint64_t Get64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::size_t BodyOf(std::uint8_t nType) {
  switch (nType) {
    case kTypeHeader:
      return kHeaderBody;
    case kTypeDocument:
      return kDocumentBody;
    case kTypeDocumentUnchained:
      return kUnchainedBody;
    case kTypeStart:
      return kStartBody;
    case kTypeMarks:
      return kMarksBody;
    case kTypeReserve:
      return kReserveBody;
    default:
      return 0;
  }
}

// Appends a record of nType with body pBody to out.
void Encode(std::vector<unsigned char>& out, std::uint8_t nType, const unsigned char* pBody) {
  const std::size_t nBody = BodyOf(nType);
  const std::size_t nAt = out.size();
  out.resize(nAt + kRecordHead + nBody);
  unsigned char* p = out.data() + nAt;
  Put16(p + 4, static_cast<std::uint16_t>(nBody));
  p[6] = nType;
  p[7] = 0;
  std::memcpy(p + kRecordHead, pBody, nBody);
  Put32(p, Crc32c(p + 4, kRecordHead - 4 + nBody));
}

void EncodeMarks(std::vector<unsigned char>& out, std::uint64_t nAck, std::uint64_t nConfirm,
                 std::uint64_t nNextSeq) {
  unsigned char body[kMarksBody];
  Put64(body, nAck);
  Put64(body + 8, nConfirm);
  Put64(body + 16, nNextSeq);
  Encode(out, kTypeMarks, body);
}

void EncodeReserve(std::vector<unsigned char>& out, std::uint64_t nReserved) {
  unsigned char body[kReserveBody];
  Put64(body, nReserved);
  Put64(body + 8, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count()));
  Encode(out, kTypeReserve, body);
}

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

std::string SegmentName(const std::string& dir, std::uint64_t nNumber) {
  char name[32];
  std::snprintf(name, sizeof name, "/%010" PRIu64 ".journal", nNumber);
  return dir + name;
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

// Reads up to n bytes at nAt; how many came, or -1.
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

bool ReadFile(int fd, std::vector<unsigned char>& out) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  out.resize(static_cast<std::size_t>(st.st_size));
  const ssize_t n = ReadAt(fd, out.data(), out.size(), 0);
  if (n < 0) return false;
  out.resize(static_cast<std::size_t>(n));
  return true;
}

// What recovery learns from the records of a segment.
struct TScan {
  bool bHeader = false;
  std::uint64_t nFirstSeq = 0, nLastSeq = 0;
  std::uint64_t nEpoch = 0, nNextSeq = 1, nAck = 0, nConfirm = 0;
  std::uint64_t nBegins = 1;  // the header's next seq: where the segment's numbering begins
  std::uint64_t nReserved = 0;  // the last reservation; at or beyond nNextSeq: not closed cleanly
  std::int64_t nFirstCapturedMs = 0, nLastCapturedMs = 0;
  std::size_t nWhole = 0;     // bytes of whole records from the start
  long nDocs = 0;
};

// Scans bytes from a segment's start; stops at the first record that does not check out, or after the
// first document when bFirstOnly.
TScan Scan(const unsigned char* p, std::size_t n, bool bFirstOnly) {
  TScan s;
  TFound f;
  std::size_t nAt = 0;
  while (Parse(p + nAt, n - nAt, &f)) {
    const unsigned char* b = f.pBody;
    if ((nAt == 0) != (f.nType == kTypeHeader)) break;  // a header first, and only there
    if (f.nType == kTypeHeader) {
      if (Get32(b) != kMagic || Get32(b + 4) != kVersion) break;
      s.bHeader = true;
      s.nEpoch = Get64(b + 16);
      s.nNextSeq = s.nBegins = Get64(b + 24);
      s.nAck = Get64(b + 32);
      s.nConfirm = Get64(b + 40);
    } else if (f.nType == kTypeDocument || f.nType == kTypeDocumentUnchained) {
      const std::uint64_t nSeq = Get64(b);
      if (nSeq < s.nNextSeq || nSeq <= s.nLastSeq) break;  // never numbered so: not ours
      if (s.nFirstSeq == 0) {
        s.nFirstSeq = nSeq;
        s.nFirstCapturedMs = static_cast<std::int64_t>(Get64(b + 16));
      }
      s.nLastSeq = nSeq;
      ++s.nDocs;
      s.nEpoch = std::max(s.nEpoch, Get64(b + 8));
      s.nLastCapturedMs = static_cast<std::int64_t>(Get64(b + 16));
    } else if (f.nType == kTypeReserve) {
      s.nReserved = Get64(b);
    } else if (f.nType == kTypeStart) {
      s.nEpoch = std::max(s.nEpoch, Get64(b));
      s.nNextSeq = std::max(s.nNextSeq, Get64(b + 8));
    } else {
      s.nAck = std::max(s.nAck, Get64(b));
      s.nConfirm = std::max(s.nConfirm, Get64(b + 8));
      s.nNextSeq = std::max(s.nNextSeq, Get64(b + 16));
    }
    nAt += f.nBytes;
    s.nWhole = nAt;
    if (bFirstOnly && s.nFirstSeq != 0) break;
  }
  s.nNextSeq = std::max(s.nNextSeq, s.nLastSeq + 1);
  return s;
}

struct TDeleter {
  void operator()(TMyData* p) const {
    if (p->nFd >= 0) close(p->nFd);
    if (p->nDirFd >= 0) close(p->nDirFd);
    if (p->nLockFd >= 0) close(p->nLockFd);
    delete p;
  }
};
using TJournalPtr = std::unique_ptr<TMyData, TDeleter>;

void SayFailure(const TMyData& d, const char* pWhat) {
  console::Warning("Cannot %s the journal of wheel %s in %s: %s\n", pWhat, d.wheel.c_str(), d.dir.c_str(),
                   std::strerror(errno));
}

// A segment's room is allocated when it begins: a write within the file's size, into blocks it already
// has, leaves fdatasync nothing but the data to write, where a write that makes the file longer also
// commits the file system's journal at each sync (on ext4 four times the bytes). Where the file system
// cannot allocate, the segment grows as it is written.
void Allocate(const TMyData& d, int fd) { fallocate(fd, 0, 0, static_cast<off_t>(d.options.nSegmentBytes)); }

// Writer (and Init, before the writer starts): begins segment nNumber with its header and makes it the
// newest; the one before is synced and closed, and beyond the segments allowed the oldest gives way.
bool BeginSegment(TMyData& d, std::uint64_t nNumber, std::uint64_t nAck, std::uint64_t nConfirm) {
  if (d.nFd >= 0) {
    fdatasync(d.nFd);
    close(d.nFd);
    d.nFd = -1;
  }
  const std::string path = SegmentName(d.dir, nNumber);
  d.nFd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (d.nFd < 0) return false;
  Allocate(d, d.nFd);
  unsigned char body[kHeaderBody];
  Put32(body, kMagic);
  Put32(body + 4, kVersion);
  Put64(body + 8, nNumber);
  Put64(body + 16, d.nEpoch);
  Put64(body + 24, d.nWrittenSeq + 1);
  Put64(body + 32, nAck);
  Put64(body + 40, nConfirm);
  std::vector<unsigned char> header;
  Encode(header, kTypeHeader, body);
  // The reservation goes on in the new segment, which recovery reads whole.
  if (d.nReserveOnDisk > d.nWrittenSeq) EncodeReserve(header, d.nReserveOnDisk);
  // Synced with its directory entry, so that a power cut never leaves the newest segment without it.
  if (!WriteAt(d.nFd, header.data(), header.size(), 0) || fdatasync(d.nFd) != 0 || fsync(d.nDirFd) != 0)
    return false;
  TSegment gone;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.segments.push_back({nNumber, 0, 0, static_cast<std::int64_t>(header.size()), 0});
    if (d.segments.size() <= static_cast<std::size_t>(d.options.nSegments)) return true;
    gone = d.segments.front();
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
      console::Warning("The journal of wheel %s is full: its oldest %ld documents (seq %" PRIu64
                       " to %" PRIu64 ") gave way, %ld of them not confirmed by the site\n",
                       d.wheel.c_str(), nDocs, gone.nFirstSeq, gone.nLastSeq, nUnconfirmed);
    }
  }
  unlinkat(d.nDirFd, SegmentName("", gone.nNumber).c_str() + 1, 0);
  return true;
}

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
      if (next.nFirstCapturedMs == 0 || next.nFirstCapturedMs > d.nNewestCapturedMs - d.options.nRetentionMs ||
          oldest.nLastSeq > d.nConfirmed)
        break;
      gone.push_back(oldest.nNumber);
      d.segments.pop_front();
    }
  }
  for (const std::uint64_t nNumber : gone) unlinkat(d.nDirFd, SegmentName("", nNumber).c_str() + 1, 0);
}

// Whoever holds the file (the writer, WriteOut): puts bytes (whole records, nDocs documents up to
// nLastSeq) at the end of the newest segment.
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
      s.nFirstCapturedMs = static_cast<std::int64_t>(Get64(p + kRecordHead + 16));
    }
    s.nLastSeq = nLastSeq;
    if (s.nDocs >= 0) s.nDocs += nDocs;
  }
  return true;
}

// Writer, holding the file (bWriting): writes a batch of documents and, if they changed, the marks, and
// with bReserve the reservation nReserve; then, when the newest segment is nearly full, begins the next
// one, so that WriteOut finds room. False on a failure.
bool Write(TMyData& d, std::vector<unsigned char>& batch, std::uint64_t nAck, std::uint64_t nConfirm,
           std::uint64_t nNextSeq, bool bMarks, bool bReserve, std::uint64_t nReserve) {
  const std::int64_t nLimit = d.options.nSegmentBytes;
  if (bReserve) d.nReserveOnDisk = nReserve;  // a segment begun on the way carries it in its header
  std::vector<unsigned char> tail;
  if (bMarks) EncodeMarks(tail, nAck, nConfirm, nNextSeq);
  if (bReserve) EncodeReserve(tail, nReserve);
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
    const std::uint64_t nFirst = Get64(batch.data() + kRecordHead);
    const std::uint64_t nLast = Get64(batch.data() + batch.size() - kDocumentBytes + kRecordHead);
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
      const std::uint64_t nFirst = Get64(batch.data() + nAt + kRecordHead);
      const std::uint64_t nLast = Get64(batch.data() + nAt + n - kDocumentBytes + kRecordHead);
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
  newest(&nSize, &nNumber);
  if (nLimit - nSize < std::min(kSegmentMargin, nLimit / 4)) {
    // Every document numbered so far is written: the new header may carry the numbering.
    d.nWrittenSeq = std::max(d.nWrittenSeq, nNextSeq - 1);
    if (!BeginSegment(d, nNumber + 1, nAck, nConfirm)) return false;
  }
  Retain(d);
  return true;
}

void WriterMain(TMyData* pData) {
  TMyData& d = *pData;
  pthread_setname_np(pthread_self(), "kestrinjournal");
  std::unique_lock<std::mutex> lock(d.mutex);
  // While documents keep coming the writer commits on a tick, kCommitMs after the last commit began,
  // whatever came since: an Append then never has to wake it, and it wakes once a batch. With nothing
  // come by the tick it sleeps until an Append wakes it.
  bool bTicking = false;
  TMyData::Clock::time_point tick{};
  for (;;) {
    const bool bAsked = d.nSyncRequests > d.nSyncsDone;
    const auto now = TMyData::Clock::now();
    if (!d.bDue && !bAsked) {
      if (d.bStop) break;
      if (now >= tick) bTicking = false;  // nothing came by the tick
      d.wakeBy = bTicking ? tick : TMyData::Clock::time_point::max();
      if (bTicking)
        d.wake.wait_until(lock, tick);
      else
        d.wake.wait(lock);
      continue;
    }
    const auto commitAt = bTicking ? std::min(tick, d.due) : d.due;
    if (!bAsked && !d.bStop && now < commitAt) {
      d.wakeBy = commitAt;
      d.wake.wait_until(lock, commitAt);
      continue;
    }
    d.wakeBy = {};  // awake: nobody needs to wake it
    d.idle.wait(lock, [&] { return !d.bWriting; });  // the worker writing its documents out
    d.bWriting = true;
    const std::uint64_t nSyncedBefore = d.figures.nSynced;
    std::vector<unsigned char> batch;
    batch.swap(d.pending);
    d.bDue = false;
    const std::uint64_t nAck = d.nAcknowledged, nConfirm = d.nConfirmed, nNextSeq = d.nNextSeq;
    const std::uint64_t nRequests = d.nSyncRequests;
    const std::uint64_t nLastDoc =
        batch.empty() ? 0 : Get64(batch.data() + batch.size() - kDocumentBytes + kRecordHead);
    // Documents not kept (a failed batch, a full buffer) still used their seq: then the marks record
    // keeps the numbering past them, as it keeps the marks.
    const std::uint64_t nDiskNext = std::max(d.nDiskNextSeq, nLastDoc + 1);
    const bool bWriteMarks = nAck != d.nAckWritten || nConfirm != d.nConfirmWritten || nNextSeq != nDiskNext;
    // The reservation: renewed once half of it is used (a burst reserves four of its batches); released
    // by the last commit of a close, which leaves nothing numbered beyond the disk.
    const std::uint64_t nChunk = std::max<std::uint64_t>(kReserveSeqs, 4 * (batch.size() / kDocumentBytes));
    const bool bClosing = d.bStop && d.pending.empty();
    const bool bReserve = bClosing ? d.nReserveOnDisk >= nNextSeq : d.nReserveOnDisk < nNextSeq - 1 + nChunk / 2;
    const std::uint64_t nReserve = bClosing ? nNextSeq - 1 : nNextSeq - 1 + nChunk;
    lock.unlock();

    const std::size_t nDocs = batch.size() / kDocumentBytes;
    const auto began = TMyData::Clock::now();
    tick = began + std::chrono::milliseconds(d.options.nCommitMs);
    bool bOk = Write(d, batch, nAck, nConfirm, nNextSeq, bWriteMarks, bReserve, nReserve);
    // The sync covers what was written up to now, also by the worker while it runs.
    lock.lock();
    const std::uint64_t nWritten = d.nWrittenSeq;
    d.bWriting = false;
    d.idle.notify_all();
    lock.unlock();
    bOk = bOk && fdatasync(d.nFd) == 0;
    bTicking = nWritten > nSyncedBefore;
    const long nCommitMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(TMyData::Clock::now() - began).count());
    if (!bOk && !d.bFailing) SayFailure(d, "write");
    if (!bOk) d.nFailedDocs += static_cast<long>(nDocs);
    if (bOk && d.bFailing)
      console::Notice("The journal of wheel %s is written again; %ld documents were not kept\n",
                      d.wheel.c_str(), d.nFailedDocs);
    if (bOk) d.nFailedDocs = 0;
    d.bFailing = !bOk;

    lock.lock();
    if (d.pending.empty()) {  // its room serves the next batch
      batch.clear();
      d.pending.swap(batch);
    }
    ++d.figures.nSyncs;
    d.figures.nLongestCommitMs = std::max(d.figures.nLongestCommitMs, nCommitMs);
    d.bLastCommitFailed = !bOk;
    if (bOk) {
      if (bReserve) {
        d.nReserved = nReserve;
        d.bRenewing = false;
      }
      d.figures.nSynced = std::max(d.figures.nSynced, nWritten);
      d.nDiskNextSeq = std::max(d.nDiskNextSeq, bWriteMarks ? nNextSeq : nDiskNext);
      if (bWriteMarks) {
        d.nAckWritten = nAck;
        d.nConfirmWritten = nConfirm;
      }
    } else {
      d.nReserveOnDisk = d.nReserved;  // what is synced: the next commit writes the reservation again
      d.figures.nNotKept += static_cast<long>(nDocs);
      if (!d.bDue) {  // the marks, at least, are tried again with the next batch
        d.bDue = true;
        d.due = TMyData::Clock::now() + std::chrono::milliseconds(d.options.nCommitMs);
      }
    }
    d.nSyncsDone = std::max(d.nSyncsDone, nRequests);
    d.synced.notify_all();
    if (d.bStop && !d.bDue && d.pending.empty()) break;
    if (d.bStop && !bOk) break;  // stopping on a failing disk: what is left is not kept
  }
}

// Init: the segments on the disk, recovered; the numbering and marks from the newest whole record.
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
    if (fd >= 0) close(fd);
    const TScan s = n > 0 ? Scan(head, static_cast<std::size_t>(n), true) : TScan{};
    if (!s.bHeader || !bStat) {
      console::Warning("The journal of wheel %s holds a segment that does not check out: %s removed\n",
                       d.wheel.c_str(), path.c_str());
      unlink(path.c_str());
      continue;
    }
    TSegment seg{*it, s.nFirstSeq, 0, st.st_size, -1, s.nFirstCapturedMs};
    if (s.nFirstSeq != 0) seg.nLastSeq = std::max(s.nFirstSeq, nNextBegins - 1);
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
    const std::string last = newest.nLastSeq != 0 ? "its last document is seq " + std::to_string(newest.nLastSeq) +
                                                         ", captured " + Utc(newest.nLastCapturedMs)
                         : d.nNextSeq > 1 ? "its last document is seq " + std::to_string(d.nNextSeq - 1)
                                                   : std::string("it holds no document");
    console::Warning("The journal of wheel %s was not closed cleanly (a crash, a kill or a power cut): %s; frames "
                     "read after it may be lost, and seq %" PRIu64 " to %" PRIu64
                     ", which may have been published, are skipped: numbering goes on at seq %" PRIu64 "\n",
                     d.wheel.c_str(), last.c_str(), d.nNextSeq, newest.nReserved, newest.nReserved + 1);
    d.nNextSeq = newest.nReserved + 1;
  }
  d.nAcknowledged = d.nAckWritten = newest.nAck;
  d.nConfirmed = d.nConfirmWritten = newest.nConfirm;
  return true;
}

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
    console::Warning("The journal of wheel %s in %s is in use by another bridge (PID %ld): this one does not "
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

std::uint32_t Crc32c(const unsigned char* p, std::size_t n) noexcept {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

bool Parse(const unsigned char* p, std::size_t n, TFound* pFound) noexcept {
  if (p == nullptr || n < kRecordHead) return false;
  const std::size_t nBody = static_cast<std::size_t>(p[4]) | static_cast<std::size_t>(p[5]) << 8;
  if (p[7] != 0 || BodyOf(p[6]) == 0 || nBody != BodyOf(p[6]) || n < kRecordHead + nBody) return false;
  if (Crc32c(p + 4, kRecordHead - 4 + nBody) != Get32(p)) return false;
  *pFound = {p[6], p + kRecordHead, kRecordHead + nBody};
  return true;
}

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
    unsigned char body[kStartBody];
    Put64(body, d.nEpoch);
    Put64(body + 8, d.nNextSeq);
    Encode(start, kTypeStart, body);
    d.nReserveOnDisk = d.nNextSeq - 1 + kReserveSeqs;
    EncodeReserve(start, d.nReserveOnDisk);
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
    if (!d.bRenewing && nSeq + kReserveSeqs / 2 > d.nReserved) {  // half used: the writer renews it now
      d.bRenewing = true;
      d.bDue = true;
      d.due = now;
      d.wake.notify_one();
    }
    if (d.pending.size() + kDocumentBytes > kMaxPending) {
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
    unsigned char body[kDocumentBody];
    Put64(body, nSeq);
    Put64(body + 8, d.nEpoch);
    Put64(body + 16, static_cast<std::uint64_t>(nCapturedMs));
    std::memcpy(body + 24, pFrame, kFrameLength);
    const TLink link = pLink != nullptr ? *pLink : TLink{};
    Put64(body + 24 + kFrameLength, link.nPrevSeq);
    std::memcpy(body + 32 + kFrameLength, link.prevHash, kHashLength);
    if (d.pending.capacity() == 0) d.pending.reserve(64 * kDocumentBytes);
    Encode(d.pending, kTypeDocument, body);
    if (!d.bDue) {
      d.bDue = true;
      d.due = now + std::chrono::milliseconds(d.options.nCommitMs);
      if (d.wakeBy > d.due) d.wake.notify_one();
    } else if (d.pending.size() == kEarlyCommit) {  // a burst (a backlog) goes out at the disk's pace
      d.due = now;
      d.wake.notify_one();
    }
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
  if (!d.bDue) {
    d.bDue = true;
    d.due = TMyData::Clock::now() + std::chrono::milliseconds(d.options.nCommitMs);
    if (d.wakeBy > d.due) d.wake.notify_one();
  }
}
}  // namespace

void Acknowledge(ThKestrinJournal hJournal, std::uint64_t nSeq) noexcept { SetMark(hJournal, nSeq, false); }

void Confirm(ThKestrinJournal hJournal, std::uint64_t nSeq) noexcept { SetMark(hJournal, nSeq, true); }

void WriteOut(ThKestrinJournal hJournal) noexcept {
  if (hJournal == nullptr) return;
  TMyData& d = *static_cast<TMyData*>(hJournal);
  std::vector<unsigned char> batch;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    // The writer holds the file, or the next segment must begin first: the writer does it at its time.
    if (d.pending.empty() || d.bWriting ||
        d.segments.back().nSize + static_cast<std::int64_t>(d.pending.size()) > d.options.nSegmentBytes)
      return;
    batch.swap(d.pending);
    d.pending.swap(d.spare);
    d.bWriting = true;
  }
  const std::uint64_t nLast = Get64(batch.data() + batch.size() - kDocumentBytes + kRecordHead);
  const bool bOk = Put(d, batch.data(), batch.size(), static_cast<long>(batch.size() / kDocumentBytes),
                       Get64(batch.data() + kRecordHead), nLast);
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
          if ((f.nType != kTypeDocument && f.nType != kTypeDocumentUnchained) || Get64(f.pBody) <= nAfterSeq)
            continue;
          TRecord& r = pRecords[nGot++];
          r.nSeq = Get64(f.pBody);
          r.nEpoch = Get64(f.pBody + 8);
          r.nCapturedMs = static_cast<std::int64_t>(Get64(f.pBody + 16));
          std::memcpy(r.frame, f.pBody + 24, kFrameLength);
          r.link = TLink{};
          if (f.nType == kTypeDocument) {
            r.link.nPrevSeq = Get64(f.pBody + 24 + kFrameLength);
            std::memcpy(r.link.prevHash, f.pBody + 32 + kFrameLength, kHashLength);
          }
          nAfterSeq = r.nSeq;
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
    pData->bDue = true;
    pData->due = TMyData::Clock::now();
    pData->wake.notify_one();
  }
  if (pData->writer.joinable()) pData->writer.join();
  if (pData->nUnsaid > 0)
    console::Notice("The journal of wheel %s did not keep up: %ld documents were not kept\n",
                    pData->wheel.c_str(), pData->nUnsaid);
  if (pData->nReadFd >= 0) close(pData->nReadFd);
}

}  // namespace journal
