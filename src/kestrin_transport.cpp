// How the link reads: the device is opened non-blocking with VMIN = VTIME = 0, so a read() on an idle
// line returns at once instead of waiting. The link reads what the device has queued with one read()
// into the record's queue and cuts frames from there; when the queue holds no whole frame and the
// device nothing more, it blocks in poll() on the device and on the caller's wake descriptor until one
// of them is ready or the time runs out. The queue outlives the call, so a frame begun when the time
// runs out, or when the caller is woken, is finished by the next call, and bytes read after a frame
// wait there for the next one. Between receptions the caller keeps the device drained with Fill(), so
// the wheel's bytes never wait in the device's small input queue. A hung-up device (USB adapter
// pulled, pty master closed) either fails the read (EIO) or is reported readable while a read still
// returns 0; both end the reception with a failure instead of looping.
#include "kestrin_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kestrin_console.h"
#include "kestrin_deadline.h"
#include "kestrin_frame.h"
#include "kestrin_transport_l.h"

namespace transport {

namespace {

constexpr unsigned char kMaxSlaveId = 125;
// Reads this close together share one arrival entry: the age of a frame is known to about this much.
constexpr auto kArrivalGrain = std::chrono::milliseconds(20);

int Queued(const TMyData& link) { return link.nTail - link.nHead; }

// The bytes a frame may be cut from: all that is queued, or only those before the point where a failed
// device was released.
int Available(const TMyData& link) {
  const int nQueued = Queued(link);
  if (link.nCut <= link.nTakenTotal) return nQueued;
  return static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(nQueued), link.nCut - link.nTakenTotal));
}

void Consume(TMyData& link, int n) {
  link.nHead += n;
  link.nTakenTotal += static_cast<std::uint64_t>(n);
  // Arrival entries whose bytes are all taken tell nothing more; noise is let go of like frames.
  while (link.arrivals.size() > 1 && link.arrivals.front().first <= link.nTakenTotal) link.arrivals.pop_front();
  if (link.nHead == link.nTail) link.nHead = link.nTail = 0;  // keeps an idle link in its first pages
}

// Drops the bytes before the first start byte; a start byte already at the front begins a frame. Hands
// out the frame once all of it is there. A start byte inside a whole frame's body does not restart it;
// a malformed one (a frame cut short and the next one glued to it, or one whose last two bytes are not
// CR LF) is handed out as it is, but the search goes on from the first start byte inside it that is
// not followed by another, so the frame that follows is still found.
bool TakeFrame(TMyData& link, unsigned char* pDest) {
  for (;;) {
    const unsigned char* pQueue = link.queue.get() + link.nHead;
    const int nAvailable = Available(link);
    if (nAvailable > 0 && pQueue[0] != kStartByte) {
      const void* pStart = std::memchr(pQueue, kStartByte, static_cast<std::size_t>(nAvailable));
      Consume(link,
              pStart ? static_cast<int>(static_cast<const unsigned char*>(pStart) - pQueue) : nAvailable);
      continue;
    }
    if (nAvailable < kFrameLength) {
      if (nAvailable == 0 || link.nCut <= link.nTakenTotal) return false;
      Consume(link, nAvailable);  // a frame the device's failure cut short
      continue;
    }
    std::memcpy(pDest, pQueue, kFrameLength);
    int nUsed = kFrameLength;
    if (!WholeFrame(pDest)) {
      // The last start byte of a run: a line of '*' noise is one malformed frame, not one per byte.
      for (int i = 1; i < kFrameLength; ++i) {
        if (pQueue[i] == kStartByte && (i + 1 >= nAvailable || pQueue[i + 1] != kStartByte)) {
          nUsed = i;
          break;
        }
      }
    }
    // The frame had come whole when its last byte arrived.
    const std::uint64_t nEnd = link.nTakenTotal + kFrameLength;
    while (link.arrivals.size() > 1 && link.arrivals.front().first < nEnd) link.arrivals.pop_front();
    link.frameArrived = link.arrivals.empty() ? TMyData::Clock::now() : link.arrivals.front().second;
    Consume(link, nUsed);
    return true;
  }
}

// Makes room in a full queue: its oldest frames give way, whole, and are counted; the newest stay,
// since a live table wants the latest state of the game.
void GiveWay(TMyData& link) {
  unsigned char frame[kFrameLength];
  while (Queued(link) > kQueueSize - kGiveWaySize && TakeFrame(link, frame))
    if (WholeFrame(frame)) ++link.nDroppedFrames;
  if (Queued(link) > kQueueSize - kGiveWaySize) Consume(link, Queued(link) - (kQueueSize - kGiveWaySize));
}

// One read() of what the device holds into the queue; returns what read() returned. *pMore is set when
// the read was cut short by the room it had, so the device may hold more.
ssize_t ReadOnce(TMyData& link, bool* pMore) {
  if (Queued(link) == kQueueSize) GiveWay(link);
  if (link.nHead > 0 && (link.nTail == kQueueSize || link.nHead >= kQueueSize / 4)) {
    std::memmove(link.queue.get(), link.queue.get() + link.nHead, static_cast<std::size_t>(Queued(link)));
    link.nTail -= link.nHead;
    link.nHead = 0;
  }
  const std::size_t nRoom = static_cast<std::size_t>(kQueueSize - link.nTail);
  unsigned char* pNew = link.queue.get() + link.nTail;
  const ssize_t n = read(link.hSerial, pNew, nRoom);
  *pMore = static_cast<std::size_t>(n) == nRoom;
  if (n <= 0) return n;
  link.nTail += static_cast<int>(n);
  link.nQueuedTotal += static_cast<std::uint64_t>(n);
  for (const unsigned char* pAt = pNew; (pAt = static_cast<const unsigned char*>(
                                             std::memchr(pAt, kStartByte, static_cast<std::size_t>(pNew + n - pAt))));
       ++pAt)
    ++link.nStarts;
  const auto now = TMyData::Clock::now();
  if (!link.arrivals.empty() &&
      (now - link.arrivals.back().second < kArrivalGrain || link.arrivals.size() >= kMaxArrivals))
    link.arrivals.back().first = link.nQueuedTotal;
  else
    link.arrivals.emplace_back(link.nQueuedTotal, now);
  return n;
}

int ReadFailed(const TMyData& link) { return Queued(link) > 0 ? kFrameFailed : kSearchFailed; }

}  // namespace

termios LineSettings() noexcept {
  termios settings;
  std::memset(&settings, 0, sizeof settings);
  settings.c_cflag = B19200 | CS8 | CSTOPB | CREAD | CLOCAL;
  return settings;
}

namespace {

// Opens Device and sets it up into link; on failure returns false with the reason in *pError. bReport
// prints the reason of a failure and the line announcing the open port. bFresh flushes what the device
// held before: stale bytes at start-up; a device opened again keeps them, since the wheel's frames of
// the moments before the reopen wait there (a re-created terminal queues them until someone reads).
bool OpenInto(TMyData& link, const char* Device, bool bReport, int* pError, bool bFresh = true) noexcept {
  const int fd = open(Device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *pError = errno;
    if (bReport) console::Perror(Device);
    return false;
  }
  // Two readers on one line would split its bytes between them and both see broken frames.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *pError = errno;
    if (bReport && errno == EWOULDBLOCK)
      console::Error("%s: already in use by another program\n", Device);
    else if (bReport)
      console::Perror(Device);
    close(fd);
    return false;
  }
  if (bReport) console::Print("Port je odprt:%s\n", Device);
  link.hSerial = fd;
  link.bFailed = false;
  tcgetattr(fd, &link.oldopt);
  link.newopt = LineSettings();
  tcflush(fd, bFresh ? TCIOFLUSH : TCOFLUSH);
  tcsetattr(fd, TCSANOW, &link.newopt);
  return true;
}

ThKestrinTrans Open(char* Device, bool bReport, int* pError) noexcept {
  try {
    auto pLink = std::make_unique<TMyData>();
    std::snprintf(pLink->name, sizeof pLink->name, "%s", Device);
    if (!OpenInto(*pLink, Device, bReport, pError)) return nullptr;
    return pLink.release();
  } catch (...) {
    *pError = ENOMEM;
    return nullptr;
  }
}

}  // namespace

ThKestrinTrans Init(char* Device, unsigned char SlaveId) noexcept {
  if (Device == nullptr || SlaveId > kMaxSlaveId) return nullptr;
  int nError = 0;
  return Open(Device, true, &nError);
}

ThKestrinTrans InitQuiet(char* Device, bool bAnnounce, int* pError) noexcept {
  if (Device == nullptr || pError == nullptr) return nullptr;
  ThKestrinTrans hTrans = Open(Device, false, pError);
  if (hTrans != nullptr && bAnnounce) console::Print("Port je odprt:%s\n", Device);
  return hTrans;
}

bool WholeFrame(const unsigned char* pFrame) noexcept {
  return frame::WellFormed(pFrame) && pFrame[kFrameLength - 2] == '\r' && pFrame[kFrameLength - 1] == '\n';
}

ThKestrinTrans Adopt(int nFd, char* Device, const termios& original) noexcept {
  struct stat held {}, named {};
  try {
    if (nFd >= 0 && Device != nullptr && fstat(nFd, &held) == 0 && stat(Device, &named) == 0 &&
        S_ISCHR(held.st_mode) && held.st_rdev == named.st_rdev && isatty(nFd)) {
      auto pLink = std::make_unique<TMyData>();
      std::snprintf(pLink->name, sizeof pLink->name, "%s", Device);
      // The lock came with the open file; taken again, it is ours at once.
      if (flock(nFd, LOCK_EX | LOCK_NB) == 0) {
        fcntl(nFd, F_SETFL, fcntl(nFd, F_GETFL) | O_NONBLOCK);
        fcntl(nFd, F_SETFD, FD_CLOEXEC);
        pLink->hSerial = nFd;
        pLink->oldopt = original;
        pLink->newopt = LineSettings();
        tcsetattr(nFd, TCSANOW, &pLink->newopt);
        console::Print("Port je odprt:%s\n", Device);
        return pLink.release();
      }
    }
  } catch (...) {
  }
  if (nFd >= 0) close(nFd);
  return nullptr;
}

termios OriginalSettings(ThKestrinTrans hInst) noexcept {
  return hInst ? static_cast<TMyData*>(hInst)->oldopt : termios{};
}

void KeepSettings(ThKestrinTrans hInst) noexcept {
  if (hInst) static_cast<TMyData*>(hInst)->bKeepSettings = true;
}

void Release(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return;
  TMyData& link = *static_cast<TMyData*>(hInst);
  if (link.hSerial < 0) return;
  if (!link.bKeepSettings) tcsetattr(link.hSerial, TCSANOW, &link.oldopt);
  close(link.hSerial);
  link.hSerial = -1;
  link.bFailed = false;
  link.nCut = link.nQueuedTotal;
}

bool Reopen(ThKestrinTrans hInst, bool bAnnounce, int* pError) noexcept {
  if (hInst == nullptr || pError == nullptr) return false;
  TMyData& link = *static_cast<TMyData*>(hInst);
  if (link.hSerial >= 0) return true;
  if (!OpenInto(link, link.name, false, pError, /*bFresh=*/false)) return false;
  if (bAnnounce) console::Print("Port je odprt:%s\n", link.name);
  return true;
}

int Take(ThKestrinTrans hInst, unsigned char* pDest, unsigned short* DataLength) noexcept {
  if (DataLength != nullptr) *DataLength = 0;
  if (hInst == nullptr || pDest == nullptr || DataLength == nullptr) return kBadArgument;
  if (!TakeFrame(*static_cast<TMyData*>(hInst), pDest)) return kNoFrame;
  *DataLength = kFrameLength;
  return kOk;
}

int QueuedFrames(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return -1;
  const TMyData& link = *static_cast<const TMyData*>(hInst);
  // The same search as TakeFrame's, counting instead of taking.
  const unsigned char* pAt = link.queue.get() + link.nHead;
  const unsigned char* pEnd = link.queue.get() + link.nTail;
  int nFrames = 0;
  while ((pAt = static_cast<const unsigned char*>(std::memchr(pAt, kStartByte, static_cast<std::size_t>(pEnd - pAt)))) &&
         pEnd - pAt >= kFrameLength) {
    if (WholeFrame(pAt)) {
      ++nFrames;
      pAt += kFrameLength;
    } else {
      ++pAt;
    }
  }
  return nFrames;
}

long TakeDroppedFrames(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return 0;
  TMyData& link = *static_cast<TMyData*>(hInst);
  const long n = link.nDroppedFrames;
  link.nDroppedFrames = 0;
  return n;
}

std::uint64_t FramesBegun(ThKestrinTrans hInst) noexcept {
  return hInst ? static_cast<const TMyData*>(hInst)->nStarts : 0;
}

int ReciveMsg(ThKestrinTrans hInst, unsigned char* pDest, unsigned short* DataLength) noexcept {
  return ReciveMsgWithin(hInst, pDest, DataLength, -1, -1);
}

int ReciveMsgWithin(ThKestrinTrans hInst, unsigned char* pDest, unsigned short* DataLength, int nTimeoutMs,
                    int nWakeFd) noexcept {
  if (DataLength != nullptr) *DataLength = 0;
  if (hInst == nullptr || pDest == nullptr || DataLength == nullptr) return kBadArgument;
  TMyData& link = *static_cast<TMyData*>(hInst);
  const TDeadline deadline(nTimeoutMs);

  bool bMayHoldMore = true;        // the device may have bytes queued: read before waiting
  bool bReportedReadable = false;  // poll() said readable since the last read that brought bytes
  for (;;) {
    if (TakeFrame(link, pDest)) {
      *DataLength = kFrameLength;
      return kOk;
    }
    if (link.bFailed) return ReadFailed(link);
    if (bMayHoldMore) {
      bool bMore = false;
      const ssize_t n = ReadOnce(link, &bMore);
      if (n > 0) {
        bMayHoldMore = bMore;
        bReportedReadable = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return ReadFailed(link);
      if (n == 0 && bReportedReadable) return ReadFailed(link);
      bMayHoldMore = false;
    }

    pollfd fds[2] = {{link.hSerial, POLLIN, 0}, {nWakeFd, POLLIN, 0}};
    const int nReady = poll(fds, nWakeFd >= 0 ? 2 : 1, deadline.PollTimeout());
    if (nReady < 0) {
      if (errno == EINTR) continue;
      return ReadFailed(link);
    }
    if (nWakeFd >= 0 && (fds[1].revents & POLLIN)) return kInterrupted;
    if (nReady == 0) return kTimedOut;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return ReadFailed(link);
    if ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) return ReadFailed(link);
    bMayHoldMore = true;
    bReportedReadable = true;
  }
}

int Fill(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return kBadArgument;
  TMyData& link = *static_cast<TMyData*>(hInst);
  if (link.bFailed || link.hSerial < 0) return ReadFailed(link);
  // Called once the device was reported ready: a first read that brings nothing means it hung up.
  for (bool bFirst = true;; bFirst = false) {
    bool bMore = false;
    const ssize_t n = ReadOnce(link, &bMore);
    if (n > 0 && bMore) continue;
    if (n > 0) return kOk;
    if (n < 0 && errno == EINTR) continue;
    if ((n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || (n == 0 && !bFirst)) return kOk;
    link.bFailed = true;
    return ReadFailed(link);
  }
}

int Descriptor(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return -1;
  const TMyData& link = *static_cast<const TMyData*>(hInst);
  return link.bFailed ? -1 : link.hSerial;  // -1 too once released
}

long FrameAgeMs(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return -1;
  const TMyData& link = *static_cast<const TMyData*>(hInst);
  if (link.nTakenTotal == 0) return -1;
  return std::chrono::duration_cast<std::chrono::milliseconds>(TMyData::Clock::now() - link.frameArrived)
      .count();
}

bool FrameBegun(ThKestrinTrans hInst) noexcept {
  return hInst != nullptr && Queued(*static_cast<const TMyData*>(hInst)) > 0;
}

int QueuedBytes(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return -1;
  const TMyData& link = *static_cast<const TMyData*>(hInst);
  int nDevice = 0;
  if (link.hSerial >= 0 && ioctl(link.hSerial, FIONREAD, &nDevice) != 0) return -1;
  return nDevice + Queued(link);
}

void Destroy(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return;
  std::unique_ptr<TMyData> pLink(static_cast<TMyData*>(hInst));
  if (pLink->nDroppedFrames > 0)
    console::Warning("The queue of %s was full: %ld frames from it were dropped\n", pLink->name,
                     pLink->nDroppedFrames);
  Release(hInst);
}

}  // namespace transport
