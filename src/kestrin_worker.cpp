// The publishing worker: one loop on a thread of its own, and a frame's whole way from the device to the
// broker.
//
// The loop waits in one poll() on everything it serves: the serial device, the completion of its
// publication (broker::Completion), the broker's return (broker::Return), the stop request (quit) and the
// shutdown's drain, with the nearest of its timers as the time-out. What it is doing is its state, not a
// wait somewhere else:
//   idle        nothing to publish; waits for the device (the silence timer runs)
//   publishing  a publication is in flight; its outcome is waited for at most 10 s
//   pausing     150 ms after each frame published (or refused), before the next is taken
//   holding     the broker is away: frames stay in the link's queue, in order, until it is back
//   reopening   the device failed: it is opened again every second, while the frames it delivered
//               before are still published
// A frame's way: whenever the device is readable its bytes go into the link's queue (transport::Fill),
// whatever else the loop is doing, so the device's small input queue never overflows. The loop takes the
// next frame from the queue (transport::Take) only when it can publish it; a malformed one is reported
// and the next is taken at once. A whole frame is reported and its document handed to the library
// (broker::StartPublication), which returns at once; the library's callback rings the completion
// doorbell, and the loop prints
// the outcome and pauses.
#include <poll.h>

#include <MQTTAsync.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "kestrin_console.h"
#include "kestrin_control_l.h"
#include "kestrin_frame.h"
#include "kestrin_health.h"

namespace control {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr Clock::time_point kNever = Clock::time_point::max();

constexpr auto kPassPause = milliseconds(150);
constexpr auto kReopenPause = milliseconds(1000);
constexpr int kSilenceSeconds = 30;
// A publication the broker has not confirmed by then is given up on, so that a lost completion cannot
// stop the bridge from publishing the frames after it.
constexpr int kPublishWaitSeconds = 10;
// The library may say "not connected" a moment before its connection-lost callback comes; the frame is
// kept and tried again after this.
constexpr auto kRetryWhileLost = milliseconds(250);
// A lost connection fails every publication given up on at once: their failures are told in one line,
// gathered for this long.
constexpr auto kLateFailureGather = milliseconds(500);
// How often the whole frames waiting are counted for the health figures.
constexpr auto kRecount = milliseconds(1000);

int PollTimeout(Clock::time_point due, Clock::time_point now) {
  if (due == kNever) return -1;
  if (due <= now) return 0;
  return static_cast<int>(std::min<long long>(std::chrono::ceil<milliseconds>(due - now).count(), 1 << 30));
}

// Notices a wheel that has fallen silent, and its return, each with one line. A frame that begins to
// arrive counts, whether or not it has been taken from the link yet.
class SilenceWatch {
 public:
  explicit SilenceWatch(const char* pPortName) : pPortName_(pPortName) {}

  void Heard(Clock::time_point now) {
    if (bSilent_) {
      console::Notice("Frames from %s again\n", pPortName_);
      health::SetSilent(false);
      Notify(kEventFramesAgain);
    }
    bSilent_ = false;
    due_ = now + std::chrono::seconds(kSilenceSeconds);
    health::FrameArrived();
  }
  Clock::time_point Due() const { return bSilent_ ? kNever : due_; }
  void Check(Clock::time_point now) {
    if (bSilent_ || now < due_) return;
    console::Notice("No frame from %s for %d s; still waiting\n", pPortName_, kSilenceSeconds);
    health::SetSilent(true);
    Notify(kEventWheelSilent);
    bSilent_ = true;
  }

 private:
  const char* pPortName_;
  bool bSilent_ = false;
  Clock::time_point due_ = Clock::now() + std::chrono::seconds(kSilenceSeconds);
};

// Notices a backlog by the age of the frame being published, taken from when its bytes arrived: one
// line when it first passes kBehindMs, again each time it has doubled, and one when it is back under
// kCaughtUpMs or no whole frame waits behind it any more. The pause after every frame caps the
// bridge's pace, and every publication may wait for the broker; a wheel that sends faster meanwhile
// fills the link's queue, and the bridge publishes ever later.
class BacklogWatch {
 public:
  explicit BacklogWatch(const char* pPortName) : pPortName_(pPortName) {}

  void FrameTaken(ThKestrinTrans hTrans) {
    const long nAgeMs = transport::FrameAgeMs(hTrans);
    if (nAgeMs < 0) return;
    const int nQueuedBytes = transport::QueuedBytes(hTrans);
    if (nAgeMs > std::max(kBehindMs, 2 * nReportedMs_)) {
      console::Notice("Behind the wheel by about %.1f s: %d frames wait on %s\n", nAgeMs / 1000.0,
                      std::max(transport::QueuedFrames(hTrans), 0), pPortName_);
      nReportedMs_ = nAgeMs;
    } else if (nReportedMs_ > 0 &&
               (nAgeMs < kCaughtUpMs || (nQueuedBytes >= 0 && nQueuedBytes < transport::kFrameLength))) {
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

// Opens the lost device again. A path that is missing (the adapter is still unplugged) says nothing;
// any other reason it cannot be opened is printed once, when it first appears or changes, so a port
// that stays locked or forbidden does not fill the console. A device that opens but fails again before
// it delivers a frame (a path now pointing at /dev/null) is reported once too.
class Reopener {
 public:
  explicit Reopener(const char* pPortName) : pPortName_(pPortName) {}

  bool TryOpen(ThKestrinTrans hTrans) {
    int nError = 0;
    if (transport::Reopen(hTrans, !bFailedUnheard_, &nError)) {
      nLastError_ = 0;
      health::SetDeviceLost(false);
      return true;
    }
    if (nError != ENOENT && nError != nLastError_) {
      if (nError == EWOULDBLOCK)
        console::Error("%s: already in use by another program\n", pPortName_);
      else
        console::Error("%s: %s\n", pPortName_, std::strerror(nError));
    }
    nLastError_ = nError;
    return false;
  }
  void FrameArrived() {
    bFramed_ = true;
    bFailedUnheard_ = false;
  }
  void Lost() {
    health::SetDeviceLost(true);
    if (!bFailedUnheard_) console::Notice("Serial device %s lost; reopening it\n", pPortName_);
    bFailedUnheard_ = !bFramed_;
    bFramed_ = false;
  }

 private:
  const char* pPortName_;
  int nLastError_ = 0;
  bool bFramed_ = false;         // the open device has delivered a frame
  bool bFailedUnheard_ = false;  // the device last opened failed before delivering any frame
};

class TWorker {
 public:
  explicit TWorker(TMyData& d)
      : d_(d), silence_(d.pPortName), backlog_(d.pPortName), reopener_(d.pPortName) {}

  void Run() {
    bFrame_ = d_.bStartFramePending;  // Recived still holds the frame that accepted the port
    d_.bStartFramePending = false;
    nBegun_ = transport::FramesBegun(d_.hTrans);
    if (bFrame_) reopener_.FrameArrived();
    while (!d_.QuitThread) {
      Step(Clock::now());
      Wait(Clock::now());
    }
    d_.nFramesLeft = bFrame_ ? 1 : 0;
  }

 private:
  // Acts on whatever is due.
  void Step(Clock::time_point now) {
    if (bPublishing_) CheckPublication(now);
    if (const int nLate = broker::TakeLateFailures(d_.hBroker); nLate > 0) {
      if (nLate_ == 0) lateDue_ = now + kLateFailureGather;
      nLate_ += nLate;
    }
    if (nLate_ > 0 && now >= lateDue_) {
      console::Warning("Message send failed for %d publications not confirmed in time\n", nLate_);
      nLate_ = 0;
      lateDue_ = kNever;
    }
    if (!bDeviceOpen_ && now >= reopenDue_) {
      bDeviceOpen_ = reopener_.TryOpen(d_.hTrans);
      reopenDue_ = now + kReopenPause;
    }
    if (const long nGaveWay = transport::TakeDroppedFrames(d_.hTrans); nGaveWay > 0) {
      console::Warning("The queue of %s was full: %ld frames from it were dropped\n", d_.pPortName, nGaveWay);
      health::CountDropped(nGaveWay);
    }
    if (const std::uint64_t nBegun = transport::FramesBegun(d_.hTrans); nBegun != nBegun_) {
      nBegun_ = nBegun;
      silence_.Heard(now);
      reopener_.FrameArrived();
    }
    if (bDeviceOpen_) silence_.Check(now);
    if (!bPublishing_ && !d_.bStopPublishing && (now >= pauseEnd_ || d_.bDraining)) PublishNext(now);
    if (now >= recountDue_) {
      const bool bBacklog = transport::QueuedBytes(d_.hTrans) >= transport::kFrameLength;
      health::SetFramesWaiting(bBacklog ? std::max(transport::QueuedFrames(d_.hTrans), 0) : 0);
      recountDue_ = now + kRecount;
    }
    // The shutdown's drain is over once nothing more can be published now: nothing waits, the broker is
    // away, or it stopped confirming.
    if (d_.bDraining && !d_.bDrained && !bPublishing_ && (bQueueEmpty_ || bHolding_ || bGivenUp_)) {
      d_.bDrained = true;
      d_.drained.Ring();
    }
  }

  // Blocks in one poll() until something the loop serves is ready or its nearest timer is due.
  void Wait(Clock::time_point now) {
    Clock::time_point due = kNever;
    if (bPublishing_) due = std::min(due, publishDue_);
    // The pause matters only when a frame waits; otherwise the device wakes the loop anyway.
    if (!bPublishing_ && pauseEnd_ > now && (bFrame_ || transport::FrameBegun(d_.hTrans)))
      due = std::min(due, pauseEnd_);
    if (bDeviceOpen_) due = std::min(due, silence_.Due());
    if (!bDeviceOpen_) due = std::min(due, reopenDue_);
    if (bHolding_ && retryDue_ > now) due = std::min(due, retryDue_);
    due = std::min(due, lateDue_);
    const int nDevice = bDeviceOpen_ ? transport::Descriptor(d_.hTrans) : -1;
    pollfd fds[5] = {{d_.quit.Fd(), POLLIN, 0},
                     {nDevice, POLLIN, 0},
                     {broker::Completion(d_.hBroker)->Fd(), POLLIN, 0},
                     {bHolding_ ? broker::Return(d_.hBroker)->Fd() : -1, POLLIN, 0},
                     {d_.bDraining ? -1 : d_.drain.Fd(), POLLIN, 0}};
    const int nReady = poll(fds, 5, PollTimeout(due, now));  // poll() skips negative descriptors
    if (nReady <= 0) return;
    if (fds[1].revents && transport::Fill(d_.hTrans) != transport::kOk) DeviceLost(Clock::now());
    if (fds[2].revents) broker::Completion(d_.hBroker)->Drain();
    if (fds[3].revents) broker::Return(d_.hBroker)->Drain();
    if (fds[4].revents) d_.drain.Drain();
  }

  // The device failed: said at once, however many frames wait; those are still published, in order.
  void DeviceLost(Clock::time_point now) {
    reopener_.Lost();
    transport::Release(d_.hTrans);
    bDeviceOpen_ = false;
    reopenDue_ = now + kReopenPause;
  }

  // Takes frames from the link and starts the next publication, unless the broker is away.
  void PublishNext(Clock::time_point now) {
    bQueueEmpty_ = false;
    for (;;) {
      if (!bFrame_) {
        if (!CanPublish(now)) return Hold();
        unsigned short nLength = 0;
        if (transport::Take(d_.hTrans, d_.Recived, &nLength) != transport::kOk) {
          bQueueEmpty_ = true;
          return;
        }
        bFrame_ = true;
        bReported_ = false;
      }
      if (!transport::WholeFrame(d_.Recived)) {
        ReportMalformed(d_.Recived);
        health::CountMalformed();
        Notify(kEventFrameDropped);
        bFrame_ = false;
        continue;  // nothing was published: no pause
      }
      if (!bReported_) {
        backlog_.FrameTaken(d_.hTrans);
        // Every field of a whole frame decodes, so nothing carries over from earlier frames.
        frame::Decode(d_.Recived, &status_);
        const std::string report = frame::Report(d_.Recived, status_);
        (status_.nFError == 0 ? console::Debug : console::Warning)("%s", report.c_str());
        bReported_ = true;
      }
      if (!CanPublish(now)) return Hold();
      char topic[frame::kTopicSize];
      frame::FormatTopic(topic, status_.nSerial);
      int rc = 0;
      if (broker::StartPublication(d_.hBroker, topic, frame::Document(status_), &rc) != 0) {
        console::Debug("Waiting for publication on topic %s for client with ClientID: %s\n", topic,
                       d_.serial_no);
        std::memcpy(topic_, topic, sizeof topic_);
        d_.bPublishIdle = false;
        bPublishing_ = true;
        bHolding_ = false;
        bHoldTold_ = false;
        publishDue_ = now + std::chrono::seconds(kPublishWaitSeconds);
        return;
      }
      if (rc == MQTTASYNC_DISCONNECTED) {
        retryDue_ = now + kRetryWhileLost;
        return Hold();
      }
      // Refused while connected: the frame is lost.
      console::Warning("Failed to start sendMessage, return code %d\n", rc);
      health::CountDropped(1);
      Notify(kEventFrameDropped);
      bFrame_ = false;
      pauseEnd_ = now + kPassPause;
      return;
    }
  }

  bool CanPublish(Clock::time_point now) const { return broker::Connected(d_.hBroker) && now >= retryDue_; }

  // The broker is away: frames wait in the link. Said once for each absence, when a frame is held.
  void Hold() {
    bHolding_ = true;
    if (bHoldTold_ || (!bFrame_ && transport::QueuedFrames(d_.hTrans) <= 0)) return;
    console::Notice("The broker is away; the frames from %s are held until it is back\n", d_.pPortName);
    bHoldTold_ = true;
  }

  void CheckPublication(Clock::time_point now) {
    const int nOutcome = broker::PublicationOutcome(d_.hBroker);
    if (nOutcome != broker::kPending) {
      console::Debug("Published\n");
      if (nOutcome == broker::kFailed) health::CountDropped(1);
      bGivenUp_ = false;
      EndPublication(now);
    } else if (now >= publishDue_) {
      console::Warning(
          "Delivery of the frame on topic %s not confirmed within %d s; going on with the next frame\n", topic_,
          kPublishWaitSeconds);
      broker::GiveUpPublication(d_.hBroker);
      bGivenUp_ = true;
      EndPublication(now);
    }
  }

  void EndPublication(Clock::time_point now) {
    bPublishing_ = false;
    bFrame_ = false;
    pauseEnd_ = now + kPassPause;
    d_.bPublishIdle = true;
    d_.publishIdle.Ring();
  }

  TMyData& d_;
  SilenceWatch silence_;
  BacklogWatch backlog_;
  Reopener reopener_;
  frame::TStatus status_;
  char topic_[frame::kTopicSize] = {};
  bool bFrame_ = false;      // Recived holds a frame taken from the link and not yet published
  bool bReported_ = false;   // ... and its report has been printed
  bool bPublishing_ = false;
  bool bGivenUp_ = false;    // the last publication was not confirmed in time
  bool bQueueEmpty_ = false; // the last look found no frame in the link
  bool bHolding_ = false;    // the broker is away
  bool bHoldTold_ = false;
  bool bDeviceOpen_ = true;
  int nLate_ = 0;            // failures of publications given up on, still to be told
  std::uint64_t nBegun_ = 0;
  Clock::time_point publishDue_{};
  Clock::time_point pauseEnd_{};
  Clock::time_point reopenDue_{};
  Clock::time_point retryDue_{};
  Clock::time_point lateDue_ = kNever;
  Clock::time_point recountDue_{};
};

}  // namespace

void ReportMalformed(const unsigned char* pFrame) {
  frame::TStatus status;
  frame::Decode(pFrame, &status);
  console::Warning("%s", frame::Report(pFrame, status).c_str());
  console::Warning("Malformed frame: not published\n");
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
    TWorker(d).Run();
    return 0;
  } catch (...) {
    Notify(kEventWorkerEnded);
    return -1;
  }
}

}  // namespace control
