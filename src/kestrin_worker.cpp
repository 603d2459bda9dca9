// The publishing worker: reads every frame from the serial link, reports it, publishes its document when
// it is well formed and paces itself; reopens a lost device and notices a silent wheel and a backlog.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "kestrin_console.h"
#include "kestrin_control_l.h"
#include "kestrin_deadline.h"
#include "kestrin_frame.h"

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
      Notify(kEventWheelSilent);
    }
    bSilent_ = true;
  }

 private:
  const char* pPortName_;
  bool bSilent_ = false;
  TDeadline deadline_{kSilenceSeconds * 1000};
};

// Notices frames waiting longer than about kBehindMs of passes with one line, again each time that wait
// has doubled, and the end of it with one line. The pause after every frame caps the bridge's pace; a
// wheel that sends faster fills the device's queue, and the bridge publishes ever later, until the
// queue overflows and bytes are lost. The device tells only what its line discipline holds (4 KiB, some
// 15 s of passes), so the lines stop there.
class BacklogWatch {
 public:
  explicit BacklogWatch(const char* pPortName) : pPortName_(pPortName) {}

  // A reception starts: the bridge's own time for the previous frame, pause included, ends here.
  void ReceptionStarts() {
    if (!bFrameTaken_) return;
    bFrameTaken_ = false;
    const auto passMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - taken_).count();
    nPassMs_ = std::max<long>(kPassPauseMs, passMs);
  }
  // A frame was taken from the link; nQueuedBytes (negative: unknown) still wait behind it.
  void FrameTaken(int nQueuedBytes) {
    taken_ = Clock::now();
    bFrameTaken_ = true;
    if (nQueuedBytes < 0) return;
    const int nFrames = nQueuedBytes / static_cast<int>(frame::kFrameLength);
    const long nBehindMs = nFrames * nPassMs_;
    if (nBehindMs > std::max(kBehindMs, 2 * nReportedMs_)) {
      console::Notice("Behind the wheel by about %.1f s: %d frames wait on %s\n", nBehindMs / 1000.0, nFrames,
                     pPortName_);
      nReportedMs_ = nBehindMs;
    } else if (nReportedMs_ > 0 && nFrames == 0) {
      console::Notice("Caught up with the wheel on %s\n", pPortName_);
      nReportedMs_ = 0;
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr long kBehindMs = 2000;
  const char* pPortName_;
  long nPassMs_ = kPassPauseMs;  // the last pass's length, or the pause before any was measured
  Clock::time_point taken_;
  bool bFrameTaken_ = false;
  long nReportedMs_ = 0;  // the wait the last line told of; 0: not behind
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
    Notify(kEventFrameDropped);
    return;
  }
  // Every field of a well-formed frame decodes, so nothing carries over from earlier frames.
  frame::TStatus status;
  frame::Decode(d.Recived, &status);
  const std::string report = frame::Report(d.Recived, status);
  (status.nFError == 0 ? console::Debug : console::Warning)("%s", report.c_str());
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, status.nSerial);
  Publish(d, topic, frame::Document(status));
}

}  // namespace

void Pause(const TDoorbell& quit, int nMs) {
  const TDeadline deadline(nMs);
  while (!deadline.Passed()) {
    pollfd fd = {quit.Fd(), POLLIN, 0};
    int nReady = poll(&fd, 1, deadline.PollTimeout());
    if (nReady > 0 || (nReady < 0 && errno != EINTR)) return;
  }
}

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
      if (QuitRequested(d)) return 0;
      if (d.hTrans == nullptr) {
        d.hTrans = reopener.TryOpen();
        if (d.hTrans == nullptr) Pause(d.quit, kReopenPauseMs);
        continue;
      }
      if (d.bStartFramePending) {
        d.bStartFramePending = false;  // Recived still holds the frame that accepted the port
      } else {
        backlog.ReceptionStarts();
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
          Pause(d.quit, kReopenPauseMs);
          continue;
        }
      }
      if (d.RecivedLength == transport::kFrameLength) {
        silence.FrameArrived();
        reopener.FrameArrived();
        backlog.FrameTaken(transport::QueuedBytes(d.hTrans));
        PublishFrame(d);
      }
      Pause(d.quit, kPassPauseMs);
    }
  } catch (...) {
    Notify(kEventWorkerEnded);
    return -1;
  }
}

}  // namespace control
