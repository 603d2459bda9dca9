// How the link reads: the device is opened non-blocking with VMIN = VTIME = 0, so a read() on an idle
// line returns 0 at once instead of waiting. The link therefore reads while bytes are queued and, when
// a read comes back empty, blocks in poll() on the device and on the caller's wake descriptor until
// one of them is ready or the time runs out. A hung-up device (USB adapter pulled, pty master
// closed) either fails the read (EIO) or is reported readable while a read still returns 0; both
// end the reception with a failure instead of looping.
#include "kestrin_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
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

enum class ByteResult { kByte, kFailed, kInterrupted, kTimedOut };

ByteResult ReadByte(int hSerial, unsigned char* pByte, int nWakeFd, const TDeadline& deadline) {
  bool bReportedReadable = false;
  for (;;) {
    ssize_t n = read(hSerial, pByte, 1);
    if (n == 1) return ByteResult::kByte;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return ByteResult::kFailed;
    if (n == 0 && bReportedReadable) return ByteResult::kFailed;

    pollfd fds[2] = {{hSerial, POLLIN, 0}, {nWakeFd, POLLIN, 0}};
    int nReady = poll(fds, nWakeFd >= 0 ? 2 : 1, deadline.PollTimeout());
    if (nReady < 0) {
      if (errno == EINTR) continue;
      return ByteResult::kFailed;
    }
    if (nWakeFd >= 0 && (fds[1].revents & POLLIN)) return ByteResult::kInterrupted;
    if (nReady == 0) return ByteResult::kTimedOut;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return ByteResult::kFailed;
    if ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) return ByteResult::kFailed;
    bReportedReadable = true;
  }
}

int FailureCode(ByteResult result, int nReadFailedCode) {
  switch (result) {
    case ByteResult::kInterrupted:
      return kInterrupted;
    case ByteResult::kTimedOut:
      return kTimedOut;
    default:
      return nReadFailedCode;
  }
}

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
  const int hSerial = static_cast<TMyData*>(hInst)->hSerial;
  const TDeadline deadline(nTimeoutMs);

  unsigned char frame[kFrameLength] = {0};
  while (frame[0] != kStartByte) {
    ByteResult result = ReadByte(hSerial, &frame[0], nWakeFd, deadline);
    if (result != ByteResult::kByte) return FailureCode(result, kSearchFailed);
  }
  for (int i = 1; i < kFrameLength; ++i) {
    ByteResult result = ReadByte(hSerial, &frame[i], nWakeFd, deadline);
    if (result != ByteResult::kByte) return FailureCode(result, kFrameFailed);
  }
  std::memcpy(pDest, frame, kFrameLength);
  *DataLength = kFrameLength;
  return kOk;
}

void Destroy(ThKestrinTrans hInst) noexcept {
  if (hInst == nullptr) return;
  std::unique_ptr<TMyData> pLink(static_cast<TMyData*>(hInst));
  tcsetattr(pLink->hSerial, TCSANOW, &pLink->oldopt);
  close(pLink->hSerial);
}

}  // namespace transport
