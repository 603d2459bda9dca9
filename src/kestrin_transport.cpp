// How the link reads: the device is opened non-blocking with VMIN = VTIME = 0, so a read() on an idle
// line returns at once instead of waiting. The link reads what the device has queued with one read()
// into the record's work area and cuts frames from there; when the area holds no whole frame and the
// device nothing more, it blocks in poll() on the device and on the caller's wake descriptor until one
// of them is ready or the time runs out. The work area outlives the call, so a frame begun when the
// time runs out, or when the caller is woken, is finished by the next call, and bytes read after a
// frame wait there for the next one. A hung-up device (USB adapter pulled, pty master closed) either
// fails the read (EIO) or is reported readable while a read still returns 0; both end the reception
// with a failure instead of looping.
#include "kestrin_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "kestrin_console.h"
#include "kestrin_deadline.h"
#include "kestrin_transport_l.h"

namespace transport {

namespace {

constexpr unsigned char kMaxSlaveId = 125;

// Drops the bytes before the first start byte; a start byte already at the front begins a frame, and a
// start byte inside its body does not restart it. Hands out the frame once all of it is there.
bool TakeFrame(TMyData& link, unsigned char* pDest) {
  if (link.nWorkLength > 0 && link.work[0] != kStartByte) {
    const void* pStart = std::memchr(link.work, kStartByte, static_cast<std::size_t>(link.nWorkLength));
    const int nSkipped =
        pStart ? static_cast<int>(static_cast<const unsigned char*>(pStart) - link.work) : link.nWorkLength;
    link.nWorkLength -= nSkipped;
    std::memmove(link.work, link.work + nSkipped, static_cast<std::size_t>(link.nWorkLength));
  }
  if (link.nWorkLength < kFrameLength) return false;
  std::memcpy(pDest, link.work, kFrameLength);
  link.nWorkLength -= kFrameLength;
  std::memmove(link.work, link.work + kFrameLength, static_cast<std::size_t>(link.nWorkLength));
  return true;
}

int ReadFailed(const TMyData& link) { return link.nWorkLength > 0 ? kFrameFailed : kSearchFailed; }

}  // namespace

termios LineSettings() noexcept {
  termios settings;
  std::memset(&settings, 0, sizeof settings);
  settings.c_cflag = B19200 | CS8 | CSTOPB | CREAD | CLOCAL;
  return settings;
}

namespace {

// Opens and sets up the link; on failure returns null with the reason in *pError. bReport prints the
// reason of a failure and the line announcing the open port.
ThKestrinTrans Open(char* Device, bool bReport, int* pError) noexcept {
  try {
    auto pLink = std::make_unique<TMyData>();
    pLink->hSerial = open(Device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pLink->hSerial < 0) {
      *pError = errno;
      if (bReport) console::Perror(Device);
      return nullptr;
    }
    // Two readers on one line would split its bytes between them and both see broken frames.
    if (flock(pLink->hSerial, LOCK_EX | LOCK_NB) != 0) {
      *pError = errno;
      if (bReport && errno == EWOULDBLOCK)
        console::Error("%s: already in use by another program\n", Device);
      else if (bReport)
        console::Perror(Device);
      close(pLink->hSerial);
      return nullptr;
    }
    if (bReport) console::Print("Port je odprt:%s\n", Device);
    tcgetattr(pLink->hSerial, &pLink->oldopt);
    pLink->newopt = LineSettings();
    tcflush(pLink->hSerial, TCIOFLUSH);
    tcsetattr(pLink->hSerial, TCSANOW, &pLink->newopt);
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
    if (bMayHoldMore) {
      const std::size_t nRoom = static_cast<std::size_t>(kWorkAreaSize - link.nWorkLength);
      const ssize_t n = read(link.hSerial, link.work + link.nWorkLength, nRoom);
      if (n > 0) {
        link.nWorkLength += static_cast<int>(n);
        // A read that left room has taken all the device had; one that filled the area may not have.
        bMayHoldMore = static_cast<std::size_t>(n) == nRoom;
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

bool FrameBegun(ThKestrinTrans hInst) noexcept {
  return hInst != nullptr && static_cast<const TMyData*>(hInst)->nWorkLength > 0;
}

int QueuedBytes(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return -1;
  const TMyData& link = *static_cast<const TMyData*>(hInst);
  int nDevice = 0;
  if (ioctl(link.hSerial, FIONREAD, &nDevice) != 0) return -1;
  return nDevice + link.nWorkLength;
}

void Destroy(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return;
  std::unique_ptr<TMyData> pLink(static_cast<TMyData*>(hInst));
  tcsetattr(pLink->hSerial, TCSANOW, &pLink->oldopt);
  close(pLink->hSerial);
}

}  // namespace transport
