// The publishing worker: reads every frame from the serial link, reports it, publishes its document when
// it is well formed and paces itself; reopens a lost device and notices a silent wheel and a backlog.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "kestrin_console.h"
#include "kestrin_control_l.h"
#include "kestrin_deadline.h"
#include "kestrin_frame.h"
#include "kestrin_health.h"

namespace control {
namespace {

constexpr int kPassPauseMs = 150;
constexpr int kReopenPauseMs = 1000;
constexpr int kSilenceSeconds = 30;

// Notices a wheel that has fallen silent, and its return, each with one line.
class SilenceWatch {
 public:
  explicit SilenceWatch(const char* pPortName) : pPortName_(pPortName) {}

  void FrameArrived() {
    if (bSilent_) {
      console::Notice("Frames from %s again\n", pPortName_);
      health::SetSilent(false);
      Notify(kEventFramesAgain);
    }
    bSilent_ = false;
    deadline_ = TDeadline(kSilenceSeconds * 1000);
  }
  // How long the next reception may wait before the silence is worth a line; -1 once it is reported.
  int TimeoutMs() const { return bSilent_ ? -1 : deadline_.PollTimeout(); }
  void Report() {
    if (!bSilent_) {
      console::Notice("No frame from %s for %d s; still waiting\n", pPortName_, kSilenceSeconds);
      health::SetSilent(true);
      Notify(kEventWheelSilent);
    }
    bSilent_ = true;
  }

 private:
  const char* pPortName_;
  bool bSilent_ = false;
  TDeadline deadline_{kSilenceSeconds * 1000};
};

// Notices a backlog by the age of the frame being published, taken from when its bytes arrived: one
// line when it first passes kBehindMs, again each time it has doubled, and one when it is back under
// kCaughtUpMs or no whole frame waits behind it any more. The pause after every frame caps the
// bridge's pace, and every publication may wait for the broker; a wheel that sends faster meanwhile
// fills the link's queue, and the bridge publishes ever later.
class BacklogWatch {
 public:
  explicit BacklogWatch(const char* pPortName) : pPortName_(pPortName) {}

  // A frame was taken from the link nAgeMs ago (negative: unknown); nQueuedBytes (negative: unknown)
  // still wait behind it.
  void FrameTaken(long nAgeMs, int nQueuedBytes) {
    if (nAgeMs < 0) return;
    if (nAgeMs > std::max(kBehindMs, 2 * nReportedMs_)) {
      const int nFrames = std::max(nQueuedBytes, 0) / static_cast<int>(frame::kFrameLength);
      console::Notice("Behind the wheel by about %.1f s: %d frames wait on %s\n", nAgeMs / 1000.0, nFrames,
                     pPortName_);
      nReportedMs_ = nAgeMs;
    } else if (nReportedMs_ > 0 &&
               (nAgeMs < kCaughtUpMs || (nQueuedBytes >= 0 && nQueuedBytes < int(frame::kFrameLength)))) {
      console::Notice("Caught up with the wheel on %s\n", pPortName_);
      nReportedMs_ = 0;
    }
    health::SetBehind(nReportedMs_ > 0 ? nAgeMs / 1000 : 0);
  }

 private:
  static constexpr long kBehindMs = 2000;
  static constexpr long kCaughtUpMs = 1000;
  const char* pPortName_;
  long nReportedMs_ = 0;  // the age the last line told of; 0: not behind
};

// Opens the lost device again, about once a second. A path that is missing (the adapter is still
// unplugged) says nothing; any other reason it cannot be opened is printed once, when it first appears
// or changes, so a port that stays locked or forbidden does not fill the console. A device that opens
// but fails again before it delivers a frame (a path now pointing at /dev/null) is reported once too.
class Reopener {
 public:
  explicit Reopener(char* pPortName) : pPortName_(pPortName) {}

  ThKestrinTrans TryOpen() {
    int nError = 0;
    ThKestrinTrans hTrans = transport::InitQuiet(pPortName_, !bFailedUnheard_, &nError);
    if (hTrans != nullptr) {
      nLastError_ = 0;
      health::SetDeviceLost(false);
      return hTrans;
    }
    if (nError != ENOENT && nError != nLastError_) {
      if (nError == EWOULDBLOCK)
        console::Error("%s: already in use by another program\n", pPortName_);
      else
        console::Error("%s: %s\n", pPortName_, std::strerror(nError));
    }
    nLastError_ = nError;
    return nullptr;
  }
  void FrameArrived() { bFramed_ = true; bFailedUnheard_ = false; }
  void Lost() {
    health::SetDeviceLost(true);
    if (!bFailedUnheard_) console::Notice("Serial device %s lost; reopening it\n", pPortName_);
    bFailedUnheard_ = !bFramed_;
    bFramed_ = false;
  }

 private:
  char* pPortName_;
  int nLastError_ = 0;
  bool bFramed_ = false;         // the open link has delivered a frame
  bool bFailedUnheard_ = false;  // the last link failed before delivering any frame
};

bool QuitRequested(TMyData& d) {
  MainLockMutex(d.pQuitThreadMutex);
  bool bQuit = d.QuitThread;
  MainUnlockMutex(d.pQuitThreadMutex);
  return bQuit;
}

void PublishFrame(TMyData& d) {
  if (!frame::WellFormed(d.Recived)) {
    ReportMalformed(d.Recived);
    health::CountMalformed();
    Notify(kEventFrameDropped);
    return;
  }
  // Every field of a well-formed frame decodes, so nothing carries over from earlier frames.
  frame::TStatus status;
  frame::Decode(d.Recived, &status);
  const std::string report = frame::Report(d.Recived, status);
  (status.nFError == 0 ? console::Debug : console::Warning)("%s", report.c_str());
  if (d.bStopPublishing) return;  // shutdown has begun: the frame is reported, not published
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, status.nSerial);
  Publish(d, topic, frame::Document(status));
}

}  // namespace

void ReportMalformed(const unsigned char* pFrame) {
  frame::TStatus status;
  frame::Decode(pFrame, &status);
  console::Warning("%s", frame::Report(pFrame, status).c_str());
  console::Warning("Malformed frame: not published\n");
}

bool WaitWhileDraining(TMyData& d, int nFd, const TDeadline& deadline) {
  bool bWatchDevice = true;
  for (;;) {
    const int nDevice = bWatchDevice ? transport::Descriptor(d.hTrans) : -1;
    // poll() skips negative descriptors.
    pollfd fds[3] = {{d.quit.Fd(), POLLIN, 0}, {nFd, POLLIN, 0}, {nDevice, POLLIN, 0}};
    const int nReady = poll(fds, 3, deadline.PollTimeout());
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady <= 0 || (fds[0].revents & POLLIN)) return false;
    if (fds[1].revents & POLLIN) return true;
    // An error the read would not show is left to the next reception.
    if (fds[2].revents & (POLLERR | POLLNVAL)) bWatchDevice = false;
    else if (fds[2].revents) transport::Fill(d.hTrans);
  }
}

void Pause(TMyData& d, int nMs) { WaitWhileDraining(d, -1, TDeadline(nMs)); }

bool StartWorker(TMyData& d) {
  d.QuitThread = false;
  d.pQuitThreadMutex = SDL_CreateMutex();
  if (d.pQuitThreadMutex == nullptr) {
    console::Err("Failed to create mutex: %s\n", SDL_GetError());
    return false;
  }
  d.pSAThread = SDL_CreateThread(MainInThread, "kestrincontrol", &d);
  if (d.pSAThread == nullptr) {
    console::Err("Failed to start thread kestrincontrol: %s\n", SDL_GetError());
    return false;
  }
  return true;
}

int MainInThread(void* hInst) {
  if (hInst == nullptr) return -1;
  TMyData& d = *static_cast<TMyData*>(hInst);
  try {
    SilenceWatch silence(d.pPortName);
    BacklogWatch backlog(d.pPortName);
    Reopener reopener(d.pPortName);

    for (;;) {
      if (QuitRequested(d) || d.bStopPublishing) return 0;
      if (d.hTrans == nullptr) {
        d.hTrans = reopener.TryOpen();
        if (d.hTrans == nullptr) Pause(d, kReopenPauseMs);
        continue;
      }
      if (d.bStartFramePending) {
        d.bStartFramePending = false;  // Recived still holds the frame that accepted the port
      } else {
        int rc = transport::ReciveMsgWithin(d.hTrans, d.Recived, &d.RecivedLength, silence.TimeoutMs(),
                                            d.quit.Fd());
        if (rc == transport::kTimedOut) {
          silence.Report();
          continue;
        }
        if (rc == transport::kSearchFailed || rc == transport::kFrameFailed) {
          reopener.Lost();
          transport::Destroy(d.hTrans);
          d.hTrans = nullptr;
          // However soon the device failed after it opened (a path now pointing at /dev/null or an
          // empty file fails at once), the next attempt waits.
          Pause(d, kReopenPauseMs);
          continue;
        }
      }
      if (d.RecivedLength == transport::kFrameLength) {
        silence.FrameArrived();
        reopener.FrameArrived();
        backlog.FrameTaken(transport::FrameAgeMs(d.hTrans), transport::QueuedBytes(d.hTrans));
        PublishFrame(d);
      }
      Pause(d, kPassPauseMs);
    }
  } catch (...) {
    Notify(kEventWorkerEnded);
    return -1;
  }
}

}  // namespace control
