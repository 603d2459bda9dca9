// The publishing worker: one loop on a thread of its own, and a frame's whole way from the device to the
// broker.
//
// The loop waits in one poll() on everything it serves: the serial device, the broker's outcomes and
// return (broker::Events) and the requests of other threads, with the nearest of its timers as the
// time-out. What it is doing is its phase (TPhase in kestrin_worker_l.h), changed only by Enter().
//
// A frame's way: whenever the device is readable its bytes go into the link's queue (transport::Fill),
// whatever the phase, so the device's small input queue never overflows. In kReading the loop takes
// the next frame (NextFrame): first one whose publication failed and waits to be published again, else
// the link's next; a malformed one is reported and the next is taken at once; a whole one becomes the
// frame in hand, a TFrame carried by value, and is reported. Its document is handed to the library
// (broker::StartPublication), which returns at once, and the loop is kPublishing. The outcome comes
// through broker::TakeOutcomes: confirmed, it is counted as published and the loop pauses (kPausing);
// failed, the frame waits to be published again. Not confirmed within 10 s, it is given up on: kept
// until its outcome comes late (published, or published again after a failure) and the loop goes on
// with the next frame. While the broker is away (kHolding) no frame is taken: they wait in the link,
// in order, until it is back. A consumer may see a document twice: when the broker got a publication
// whose confirmation was lost with the connection, it is published again.
//
// With a journal (the service entry) a whole frame does not wait in the link: as soon as it has come it
// is taken (TakeArrived), numbered and journaled, and waits in `fresh`; each pass of the loop writes
// it out into the journal's file (WriteOut) after the publication it started, so that a crash or a kill
// loses nothing read and a power cut nothing synced, whatever the phase; a failed start-up keeps it. Its
// document carries seq, epoch and captured, and with the box key (kestrin_chain: linked to the document
// numbered before it when it is journaled, signed when it is published) prev, sig and key. Once published, the records of earlier starts that the
// site (or else the box's broker) had not confirmed are read back and published first, marked
// replayed, without the pause; the box's broker's confirmations go to the journal (Acknowledge).
#include "kestrin_worker.h"

#include <inttypes.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "kestrin_console.h"
#include "kestrin_frame.h"
#include "kestrin_health.h"
#include "kestrin_worker_l.h"

namespace worker {
namespace {

using std::chrono::milliseconds;
constexpr Clock::time_point kNever = Clock::time_point::max();

constexpr auto kPassPause = milliseconds(150);
constexpr auto kReopenPause = milliseconds(1000);
constexpr int kSilenceSeconds = 30;
// A publication the broker has not confirmed by then is given up on, so that a lost confirmation
// cannot stop the bridge from publishing the frames after it.
constexpr int kPublishWaitSeconds = 10;
// Publications given up on are kept for their late outcome up to this many; the oldest beyond it is
// published again.
constexpr std::size_t kMaxUnconfirmed = 100;
// The library may say "not connected" a moment before its connection-lost callback comes; the frame is
// kept and tried again after this.
constexpr auto kRetryWhileLost = milliseconds(250);
// A lost connection fails every publication given up on at once: their failures are told in one line,
// gathered for this long.
constexpr auto kLateFailureGather = milliseconds(500);
// A frame takes 23 ms at 19200 baud, and a USB adapter may hold its bytes for 16 ms more.
constexpr auto kFrameInTransit = milliseconds(1000);
// How often the whole frames waiting are counted for the health figures.
constexpr auto kRecount = milliseconds(1000);

int PollTimeout(Clock::time_point due, Clock::time_point now) {
  if (due == kNever) return -1;
  if (due <= now) return 0;
  return static_cast<int>(std::min<long long>(std::chrono::ceil<milliseconds>(due - now).count(), 1 << 30));
}

// A whole frame's report: debug, or a warning for a frame whose error flag is set.
void Report(const TFrame& f) {
  const std::string report = frame::Report(f.bytes, f.status);
  (f.status.nFError == 0 ? console::Debug : console::FrameWarning)("%s", report.c_str());
}

std::int64_t WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// A fresh frame waiting to be published, with a journal, beyond which the oldest gives way: as many
// as the link's queue holds.
constexpr std::size_t kMaxFresh = (1 << 20) / transport::kFrameLength;
// With a journal: publications in flight at once. The broker confirms each in about a millisecond on
// the box, so a backlog goes at hundreds a second while memory and a lost connection's resends stay small.
constexpr std::size_t kWindow = 16;
// Journal records read back at a time for the replay.
constexpr int kReplayBatch = 64;

// A document read back from the journal, to be published again as it was signed.
TFrame Journaled(const journal::TRecord& record) {
  TFrame f;
  std::memcpy(f.bytes, record.frame, sizeof f.bytes);
  frame::Decode(f.bytes, &f.status);
  f.nSeq = f.nOrder = record.nSeq;
  f.nEpoch = record.nEpoch;
  f.nCapturedMs = record.nCapturedMs;
  f.link = record.link;
  f.bReplayed = true;
  return f;
}

}  // namespace

// A frame that begins to arrive counts while the loop does not take frames; while it does, only a
// whole frame taken counts, so a line of noise or malformed frames reads as silence.
TSilenceWatch::TSilenceWatch(const char* pPortName)
    : pPortName_(pPortName), due_(Clock::now() + std::chrono::seconds(kSilenceSeconds)) {}

void TSilenceWatch::Heard(Clock::time_point now) {
  if (bSilent_) {
    console::Notice("Frames from %s again\n", pPortName_);
    health::SetSilent(false);
  }
  bSilent_ = false;
  due_ = now + std::chrono::seconds(kSilenceSeconds);
}

Clock::time_point TSilenceWatch::Due() const { return bSilent_ ? kNever : due_; }

void TSilenceWatch::Check(Clock::time_point now) {
  if (bSilent_ || now < due_) return;
  console::Notice("No frame from %s for %d s; still waiting\n", pPortName_, kSilenceSeconds);
  health::SetSilent(true);
  bSilent_ = true;
}

// The age of the frame being published, taken from when its bytes arrived: one line when it first
// passes kBehindMs, again each time it has doubled, and one when it is back under kCaughtUpMs or no
// whole frame waits behind it any more. The pause after every frame caps the bridge's pace, and every
// publication may wait for the broker; a wheel that sends faster meanwhile fills the link's queue, and
// the bridge publishes ever later.
void TBacklogWatch::FrameTaken(ThKestrinTrans hTrans) {
  FrameTaken(transport::FrameAgeMs(hTrans), std::max(transport::QueuedFrames(hTrans), 0),
             transport::QueuedBytes(hTrans));
}

void TBacklogWatch::FrameTaken(long nAgeMs, int nQueuedFrames, int nQueuedBytes) {
  constexpr long kBehindMs = 2000;
  constexpr long kCaughtUpMs = 1000;
  if (nAgeMs < 0) return;
  if (nAgeMs > std::max(kBehindMs, 2 * nReportedMs_)) {
    console::Notice("Behind the wheel by about %.1f s: %d frames wait on %s\n", nAgeMs / 1000.0,
                    nQueuedFrames, pPortName_);
    nReportedMs_ = nAgeMs;
  } else if (nReportedMs_ > 0) {
    if (nAgeMs < kCaughtUpMs || (nQueuedBytes >= 0 && nQueuedBytes < transport::kFrameLength)) {
      console::Notice("Caught up with the wheel on %s\n", pPortName_);
      nReportedMs_ = 0;
    }
  } else {
    return;  // neither behind nor told so: nothing changes
  }
  health::SetBehind(nReportedMs_ > 0 ? nAgeMs / 1000 : 0);
}

// A path that is missing (the adapter is still unplugged) says nothing; any other reason it cannot be
// opened is printed once, when it first appears or changes, so a port that stays locked or forbidden
// does not fill the console. A device that opens but fails again before it delivers a frame (a path
// now pointing at /dev/null) is reported once too.
bool TReopener::TryOpen(ThKestrinTrans hTrans) {
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

void TReopener::FrameArrived() {
  bFramed_ = true;
  bFailedUnheard_ = false;
}

void TReopener::Lost() {
  health::SetDeviceLost(true);
  if (!bFailedUnheard_) console::Notice("Serial device %s lost; reopening it\n", pPortName_);
  bFailedUnheard_ = !bFramed_;
  bFramed_ = false;
}

TWorker::TWorker(const TStart& start)
    : hTrans(start.hTrans),
      hBroker(start.hBroker),
      hJournal(start.hJournal),
      hChain(start.hJournal != nullptr ? start.hChain : nullptr),
      silence(portName),
      backlog(portName),
      reopener(portName) {
  std::snprintf(portName, sizeof portName, "%s", start.pPortName);
  std::snprintf(clientId, sizeof clientId, "%s", start.pClientId);
  if (start.pFirstFrame != nullptr) {
    std::memcpy(inHand.bytes, start.pFirstFrame, sizeof inHand.bytes);
    frame::Decode(inHand.bytes, &inHand.status);
    inHand.nCapturedMs = start.nFirstFrameMs > 0 ? start.nFirstFrameMs : WallMs();
    inHand.nOrder = ++nTaken;
    bHaveFrame = true;
  }
}

void TWorker::Run() {
  nBegun = transport::FramesBegun(hTrans);
  if (bHaveFrame) reopener.FrameArrived();
  // The device may have failed while start-up probed it.
  if (transport::Descriptor(hTrans) < 0) DeviceLost(Clock::now());
  if (hJournal != nullptr) {
    journal::TState state;
    journal::GetState(hJournal, &state);
    nEpoch = state.nEpoch;
    // The last record of the earlier starts: before the seqs skipped after an unclean stop, if any.
    nReplayEnd = state.nSkippedFirst != 0 ? state.nSkippedFirst - 1 : state.nNextSeq - 1;
    if (state.nSkippedFirst != 0) skipped.Add(state.nSkippedFirst, state.nSkippedLast);
    health::SetJournal(nEpoch, 0);
    // The first frame is this start's first document: journaled, and published after the replay.
    if (bHaveFrame) {
      Journal(inHand);
      fresh.push_back(inHand);
      bHaveFrame = false;
    }
    TakeArrived(Clock::now());
  }
  while (!bQuit) {
    Step(Clock::now());
    Wait(Clock::now());
  }
}

void TWorker::Enter(TPhase next) {
  phase = next;
  shownPhase.store(next, std::memory_order_relaxed);
  // Start-up is over once the first frame has had its chance, so that the first status a site sees
  // already tells of it.
  if (!bRunning && (next == TPhase::kPausing || next == TPhase::kHolding)) {
    bRunning = true;
    health::SetRunning();
  }
}

// Acts on whatever is due.
void TWorker::Step(Clock::time_point now) {
  if (bStopPublishing && phase != TPhase::kStopped) {
    if (stopDue == kNever) stopDue = now + milliseconds(nStopWaitMs.load());
    // After a drain, a frame that came meanwhile is still published, within the same bound.
    const bool bMore = bDrain && !bNotConfirming && CanPublish(now) &&
                       (bHaveFrame || !again.empty() || !fresh.empty() || transport::QueuedFrames(hTrans) > 0);
    // With a journal, reading ends between frames: a frame begun is read whole (and journaled), so that
    // what the device keeps for the next start (systemd's store) begins with a whole frame.
    if (frameEndDue == kNever) frameEndDue = now + kFrameInTransit;
    const bool bFrameComing = Windowed() && bDeviceOpen && transport::FrameBegun(hTrans) && now < frameEndDue;
    if ((phase != TPhase::kPublishing && inFlight.empty() && !bMore && !bFrameComing) ||
        (now >= stopDue && !bFrameComing))
      StopPublishingNow();
  }
  TakeOutcomes(now);
  if (nLate > 0 && now >= lateDue) {
    console::Warning("Message send failed for %d publications not confirmed in time\n", nLate);
    nLate = 0;
    lateDue = kNever;
  }
  if (phase == TPhase::kStopped) return;
  GiveUpLate(now);
  if (!bDeviceOpen && now >= reopenDue) {
    bDeviceOpen = reopener.TryOpen(hTrans);
    reopenDue = now + kReopenPause;
  }
  if (const long nGaveWay = transport::TakeDroppedFrames(hTrans) + std::exchange(nFreshDropped, 0);
      nGaveWay > 0) {
    console::Warning("The queue of %s was full: %ld frames from it were dropped\n", portName, nGaveWay);
    health::CountDropped(nGaveWay);
  }
  if (const std::uint64_t nNow = transport::FramesBegun(hTrans); nNow != nBegun) {
    nBegun = nNow;
    reopener.FrameArrived();
    if (phase != TPhase::kReading) silence.Heard(now);
  }
  if (bDeviceOpen) silence.Check(now);

  switch (phase) {
    case TPhase::kWaiting:
      if (!bPublish) break;
      nReplayNext = nReplayAfter;
      if (nReplayNext < nReplayEnd)
        console::Notice("Publishing again the documents of %s after seq %" PRIu64 " up to seq %" PRIu64
                        ", not yet confirmed\n",
                        portName, nReplayNext, nReplayEnd);
      if (bHaveFrame) Report(inHand);  // the frame that accepted the port, told once it can go
      Enter(TPhase::kReading);
      break;
    case TPhase::kPublishing:
      if (!Windowed() && now >= due) GiveUp(now);
      break;
    case TPhase::kPausing:
      if (now >= due || bDrain) Enter(TPhase::kReading);
      break;
    case TPhase::kHolding:
      if (CanPublish(now))
        Enter(TPhase::kReading);
      else if (!bHoldTold)
        Hold();
      break;
    default:
      break;
  }
  if (hJournal != nullptr && phase != TPhase::kWaiting) TakeRefills(now);
  if (phase == TPhase::kReading) PublishNext(now);
  // The documents read so far into the journal's file: a crash or a kill from now on loses none.
  if (hJournal != nullptr) journal::WriteOut(hJournal);

  if (now >= recountDue) {
    const bool bBacklog = transport::QueuedBytes(hTrans) >= transport::kFrameLength;
    health::SetFramesWaiting((bBacklog ? std::max(transport::QueuedFrames(hTrans), 0) : 0) +
                             static_cast<int>(fresh.size()));
    if (hJournal != nullptr) {
      journal::TState state;
      journal::GetState(hJournal, &state);
      health::SetJournal(nEpoch, state.nGivenWayUnconfirmed);
    }
    recountDue = now + kRecount;
  }
  // The shutdown's drain is over once nothing more can be published now: nothing waits, the broker is
  // away, or it stopped confirming.
  // A frame the wheel has begun is waited for, 1 s at most: a stop cut it short otherwise, and with
  // the device kept open for the next start, its tail would reach that start alone.
  if (bDrain && drainFrameDue == kNever) drainFrameDue = now + kFrameInTransit;
  const bool bFrameComing = transport::FrameBegun(hTrans) && now < drainFrameDue;
  if (bDrain && !bDrained && phase != TPhase::kPublishing &&
      ((phase == TPhase::kReading && bQueueEmpty && !bFrameComing && inFlight.empty()) || phase == TPhase::kHolding ||
       bNotConfirming)) {
    bDrained = true;
    answers.Ring();
  }
}

// Blocks in one poll() until something the loop serves is ready or its nearest timer is due.
void TWorker::Wait(Clock::time_point now) {
  Clock::time_point next = lateDue;
  const bool bStopped = phase == TPhase::kStopped;
  if (phase == TPhase::kPublishing && !Windowed()) next = std::min(next, due);
  if (!inFlight.empty() && !bStopped) next = std::min(next, inFlight.begin()->second.due);
  if (bStopPublishing && !bStopped) next = std::min(next, stopDue);
  if (bStopPublishing && !bStopped && frameEndDue > now && transport::FrameBegun(hTrans))
    next = std::min(next, frameEndDue);
  // The pause matters only when a frame waits; otherwise the device wakes the loop anyway.
  if (phase == TPhase::kPausing &&
      (!again.empty() || transport::FrameBegun(hTrans) || !fresh.empty() || nReplayNext < nReplayEnd ||
       !refill.Empty() || !refillQueue.empty()))
    next = std::min(next, due);
  if (phase == TPhase::kHolding && retryDue > now) next = std::min(next, retryDue);
  if (bDrain && !bDrained && drainFrameDue > now) next = std::min(next, drainFrameDue);
  if (!bStopped) next = std::min(next, bDeviceOpen ? silence.Due() : reopenDue);
  const int nDevice = bDeviceOpen && !bStopped ? transport::Descriptor(hTrans) : -1;
  pollfd fds[3] = {
      {requests.Fd(), POLLIN, 0}, {nDevice, POLLIN, 0}, {broker::Events(hBroker)->Fd(), POLLIN, 0}};
  const int nReady = poll(fds, 3, PollTimeout(next, now));  // poll() skips negative descriptors
  if (nReady <= 0) return;
  if (fds[0].revents) requests.Drain();
  if (fds[1].revents) {
    const bool bFailed = transport::Fill(hTrans) != transport::kOk;
    if (hJournal != nullptr) TakeArrived(Clock::now());  // the frames before a failure too
    if (bFailed) DeviceLost(Clock::now());
  }
  if (fds[2].revents) broker::Events(hBroker)->Drain();
}

// The device failed: said at once, however many frames wait; those are still published, in order.
void TWorker::DeviceLost(Clock::time_point now) {
  reopener.Lost();
  transport::Release(hTrans);
  bDeviceOpen = false;
  reopenDue = now + kReopenPause;
}

bool TWorker::CanPublish(Clock::time_point now) const {
  return broker::Connected(hBroker) && now >= retryDue;
}

// Takes the next frame into the hand: one to be published again first, else the link's next whole
// frame. False when there is none, or the broker is away.
bool TWorker::NextFrame(Clock::time_point now) {
  for (;;) {
    if (!CanPublish(now)) {
      Hold();
      return false;
    }
    if (!again.empty()) {
      inHand = again.begin()->second;
      again.erase(again.begin());
      bHaveFrame = true;
      return true;
    }
    if (hJournal != nullptr) {
      // The start's replay first; then live documents before any the site asked for again. History
      // takes at most half the window, so a live document never waits for a place behind it.
      const bool bRoom = std::count_if(inFlight.begin(), inFlight.end(),
                                       [](const auto& p) { return p.second.frame.bReplayed; }) <
                         static_cast<std::ptrdiff_t>(kWindow / 2);
      const bool bReplay = bRoom && NextReplayed();
      if (!bReplay && fresh.empty() && !(bRoom && NextRefilled(now))) {
        bQueueEmpty = true;
        return false;
      }
      if (bReplay) {
        inHand = replay.front();
        replay.pop_front();
      } else if (fresh.empty()) {
        inHand = refillQueue.front();
        refillQueue.pop_front();
      } else {
        inHand = fresh.front();
        fresh.pop_front();
        nLastLive = inHand.nSeq;
        const int nQueued = static_cast<int>(fresh.size());
        backlog.FrameTaken(WallMs() - inHand.nCapturedMs, nQueued,
                           nQueued * transport::kFrameLength + std::max(transport::QueuedBytes(hTrans), 0));
        Report(inHand);
      }
      bHaveFrame = true;
      return true;
    }
    unsigned short nLength = 0;
    if (transport::Take(hTrans, inHand.bytes, &nLength) != transport::kOk) {
      bQueueEmpty = true;
      return false;
    }
    if (!transport::WholeFrame(inHand.bytes)) {
      ReportMalformed(inHand.bytes);
      health::CountMalformed();
      continue;  // nothing was published: no pause
    }
    silence.Heard(now);
    backlog.FrameTaken(hTrans);
    // Every field of a whole frame decodes, so nothing carries over from earlier frames.
    frame::Decode(inHand.bytes, &inHand.status);
    inHand.nCapturedMs = WallMs() - std::max(transport::FrameAgeMs(hTrans), 0L);
    inHand.nSeq = 0;
    inHand.nOrder = ++nTaken;
    inHand.nAttempts = 0;
    bHaveFrame = true;
    Report(inHand);
    return true;
  }
}

// Starts the publication of the frame in hand, taking the next one first if none is; with a journal,
// of every frame that waits, as long as the window has room.
void TWorker::PublishNext(Clock::time_point now) {
  bQueueEmpty = false;
  for (;;) {
    if (!bHaveFrame && !NextFrame(now)) return;
    if (!CanPublish(now)) return Hold();
    char topic[frame::kTopicSize];
    frame::FormatTopic(topic, inHand.status.nSerial);
    int rc = 0;
    ++inHand.nAttempts;
    char seq[24], epoch[24], captured[32];
    std::snprintf(seq, sizeof seq, "%" PRIu64, inHand.nSeq);
    std::snprintf(epoch, sizeof epoch, "%" PRIu64, inHand.nEpoch);
    chain::FormatCaptured(inHand.nCapturedMs, captured);
    std::string payload;
    if (hChain == nullptr || inHand.bReplayed || !chain::TakePayload(hChain, inHand.nSeq, &payload))
      payload = frame::Document(inHand.status);
    broker::TUserProperty properties[7] = {{"seq", seq}, {"epoch", epoch}, {"captured", captured}};
    int nProperties = hJournal == nullptr ? 0 : 3;
    // Signed: the same statement each time it is published; `replayed` stays outside what is signed.
    chain::TProperties signedBy;
    if (hChain != nullptr && chain::Sign(hChain, inHand.status.nSerial, inHand.nSeq, inHand.nEpoch, captured,
                                         payload, inHand.link, &signedBy) == chain::kOk) {
      if (signedBy.prev[0] != '\0') properties[nProperties++] = {"prev", signedBy.prev};
      properties[nProperties++] = {"sig", signedBy.sig};
      properties[nProperties++] = {"key", signedBy.key};
    }
    if (hJournal != nullptr && inHand.bReplayed) properties[nProperties++] = {"replayed", "1"};
    if (const std::uint64_t nId =
            broker::StartPublication(hBroker, topic, payload, &rc, properties, nProperties)) {
      console::Debug("Waiting for publication on topic %s for client with ClientID: %s\n", topic, clientId);
      bHoldTold = false;
      if (!Windowed()) {
        nAwaited = nId;
        due = now + std::chrono::seconds(kPublishWaitSeconds);
        return Enter(TPhase::kPublishing);
      }
      inFlight.emplace(nId, TInFlight{inHand, now + std::chrono::seconds(kPublishWaitSeconds)});
      bHaveFrame = false;
      if (inFlight.size() >= kWindow) return Enter(TPhase::kPublishing);
      continue;
    }
    if (rc == broker::kNotConnected) {
      retryDue = now + kRetryWhileLost;
      return Hold();
    }
    // Refused while connected: the frame is lost.
    console::FrameWarning("Failed to start sendMessage, return code %d\n", rc);
    health::CountDropped(1);
    bHaveFrame = false;
    if (Windowed()) continue;
    due = now + kPassPause;
    return Enter(TPhase::kPausing);
  }
}

// The broker is away: frames wait in the link. Said once for each absence, when a frame is held.
void TWorker::Hold() {
  if (phase != TPhase::kHolding) Enter(TPhase::kHolding);
  if (bHoldTold || (!bHaveFrame && again.empty() && fresh.empty() && transport::QueuedFrames(hTrans) <= 0))
    return;
  console::Notice("The broker is away; the frames from %s are held until it is back\n", portName);
  bHoldTold = true;
}

// The outcomes that came: the awaited one ends kPublishing; a late one settles a frame given up on.
void TWorker::TakeOutcomes(Clock::time_point now) {
  outcomes.clear();
  broker::TakeOutcomes(hBroker, &outcomes);
  for (const broker::TOutcome& outcome : outcomes) {
    if (const auto it = inFlight.find(outcome.nId); it != inFlight.end()) {
      const TFrame f = it->second.frame;
      inFlight.erase(it);
      if (outcome.bDelivered) {
        console::Debug("Published\n");
        health::CountPublished(f.nCapturedMs);
        Acknowledge(f.nSeq);
      } else {
        again.emplace(f.nOrder, f);  // published again, in order, once the broker takes it
      }
      if (bNotConfirming) health::SetNotConfirming(false);
      bNotConfirming = false;
      if (!bRunning) Enter(TPhase::kPausing);  // the first frame has had its chance: start-up is over
      if (phase == TPhase::kPublishing || phase == TPhase::kPausing) Enter(TPhase::kReading);
      continue;
    }
    if (!Windowed() && phase == TPhase::kPublishing && outcome.nId == nAwaited) {
      if (outcome.bDelivered) {
        console::Debug("Published\n");
        health::CountPublished(inHand.nCapturedMs);
        Acknowledge(inHand.nSeq);
      } else {
        again.emplace(inHand.nOrder, inHand);  // published again, once the broker takes it
      }
      bHaveFrame = false;
      if (bNotConfirming) health::SetNotConfirming(false);
      bNotConfirming = false;
      // History goes out at the broker's pace; the pause is the live documents'.
      due = inHand.bReplayed ? now : now + kPassPause;
      Enter(TPhase::kPausing);
      continue;
    }
    const auto it = givenUp.find(outcome.nId);
    if (it == givenUp.end()) continue;
    const std::uint64_t nDeliveredSeq = outcome.bDelivered ? it->second.nSeq : 0;
    if (outcome.bDelivered) {
      health::CountPublished(it->second.nCapturedMs);
    } else {
      if (nLate == 0) lateDue = now + kLateFailureGather;
      ++nLate;
      if (phase == TPhase::kStopped)
        health::CountDropped(1);
      else
        again.emplace(it->second.nOrder, it->second);
    }
    givenUp.erase(it);
    Acknowledge(nDeliveredSeq);
    health::SetUnconfirmed(static_cast<int>(givenUp.size()));
    if (phase != TPhase::kPublishing && bNotConfirming && givenUp.empty()) {
      bNotConfirming = false;
      health::SetNotConfirming(false);
    }
  }
}

// The frame in hand waited its 10 s: kept for its late outcome, and the loop goes on.
void TWorker::GiveUp(Clock::time_point now) {
  Unconfirmed(now, nAwaited, inHand);
  bHaveFrame = false;
  due = now + kPassPause;
  Enter(TPhase::kPausing);
}

// With a journal: the publications in flight that waited their 10 s, oldest first.
void TWorker::GiveUpLate(Clock::time_point now) {
  while (!inFlight.empty() && inFlight.begin()->second.due <= now) {
    const auto it = inFlight.begin();
    const std::uint64_t nId = it->first;
    const TFrame f = it->second.frame;
    inFlight.erase(it);
    Unconfirmed(now, nId, f);
    if (!bRunning) Enter(TPhase::kPausing);
    if (phase == TPhase::kPublishing || phase == TPhase::kPausing) Enter(TPhase::kReading);
  }
}

// Publication nId of frame f is given up on: kept for its late outcome.
void TWorker::Unconfirmed(Clock::time_point, std::uint64_t nId, const TFrame& f) {
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, f.status.nSerial);
  console::FrameWarning(
      "Delivery of the frame on topic %s not confirmed within %d s; going on with the next frame\n", topic,
      kPublishWaitSeconds);
  broker::GiveUp(hBroker, nId);
  givenUp.emplace(nId, f);
  if (givenUp.size() > kMaxUnconfirmed) {
    const auto oldest = givenUp.begin();
    broker::Forget(hBroker, oldest->first);
    again.emplace(oldest->second.nOrder, oldest->second);
    givenUp.erase(oldest);
  }
  health::SetUnconfirmed(static_cast<int>(givenUp.size()));
  bNotConfirming = true;
  health::SetNotConfirming(true);
}

// Shutdown: nothing more is published. A publication still in flight is given up on, so that its late
// outcome still counts it; every other frame read is counted as dropped now.
void TWorker::StopPublishingNow() {
  for (const auto& [nId, f] : inFlight) {
    broker::GiveUp(hBroker, nId);
    givenUp.emplace(nId, f.frame);
  }
  inFlight.clear();
  health::SetUnconfirmed(static_cast<int>(givenUp.size()));
  if (!Windowed() && phase == TPhase::kPublishing) {
    broker::GiveUp(hBroker, nAwaited);
    givenUp.emplace(nAwaited, inHand);
    health::SetUnconfirmed(static_cast<int>(givenUp.size()));
    bHaveFrame = false;
  }
  // Records read back for the replay are not this start's frames: they stay in the journal for the next.
  const int nFrames = (bHaveFrame && !inHand.bReplayed ? 1 : 0) +
                      static_cast<int>(std::count_if(again.begin(), again.end(),
                                                     [](const auto& f) { return !f.second.bReplayed; })) +
                      static_cast<int>(fresh.size()) + std::max(transport::QueuedFrames(hTrans), 0);
  bHaveFrame = false;
  again.clear();
  fresh.clear();
  replay.clear();
  nReplayNext = nReplayEnd;
  refill.Clear();
  refillQueue.clear();
  if (nFrames > 0) health::CountDropped(nFrames);
  Enter(TPhase::kStopped);
  nLeft = nFrames;
  bStoppedPublishing = true;
  answers.Ring();
}

// With a journal: takes every whole frame the link holds, journals it and queues it; a malformed one is
// reported at once.
void TWorker::TakeArrived(Clock::time_point now) {
  TFrame f;
  unsigned short nLength = 0;
  while (transport::Take(hTrans, f.bytes, &nLength) == transport::kOk) {
    if (!transport::WholeFrame(f.bytes)) {
      ReportMalformed(f.bytes);
      health::CountMalformed();
      continue;
    }
    silence.Heard(now);
    frame::Decode(f.bytes, &f.status);
    f.nCapturedMs = WallMs() - std::max(transport::FrameAgeMs(hTrans), 0L);
    Journal(f);
    if (fresh.size() >= kMaxFresh) {
      // Still in the journal: the next start publishes it again.
      fresh.pop_front();
      ++nFreshDropped;
    }
    fresh.push_back(f);
  }
}

// Numbers the frame and hands it to the journal, which never waits on the disk; a frame the journal
// could not keep is still published with its seq.
void TWorker::Journal(TFrame& f) {
  if (hChain != nullptr)
    chain::Append(hChain, f.bytes, f.status, f.nCapturedMs, &f.nSeq, &f.link);
  else
    journal::Append(hJournal, f.bytes, f.nCapturedMs, &f.nSeq);
  f.nEpoch = nEpoch;
  f.nOrder = f.nSeq;
  f.nAttempts = 0;
  f.bReplayed = false;
}

// The replay's next records, read back from the journal as they are needed. False when none is left.
bool TWorker::NextReplayed() {
  if (!replay.empty()) return true;
  while (nReplayNext < nReplayEnd) {
    journal::TRecord records[kReplayBatch];
    const int n = journal::Read(hJournal, nReplayNext, records, kReplayBatch);
    if (n <= 0) {
      nReplayNext = nReplayEnd;  // nothing more on the disk (or it refused: told by the journal)
      break;
    }
    for (int i = 0; i < n && records[i].nSeq <= nReplayEnd; ++i) {
      replay.push_back(Journaled(records[i]));
    }
    nReplayNext = records[n - 1].nSeq;
    if (!replay.empty()) return true;
  }
  return false;
}

// The site's requests that came: what of them this start has published (or will publish in the start's
// replay) and has not published again within kRefillAgainSeconds is queued for the journal to read.
void TWorker::TakeRefills(Clock::time_point now) {
  while (!refillSent.empty() && now - refillSent.front().first >= std::chrono::seconds(kRefillAgainSeconds)) {
    refillSent.pop_front();
    recentlyRefilled.Clear();
    for (const auto& [when, range] : refillSent) recentlyRefilled.Add(range.nFirst, range.nLast);
  }
  std::vector<TSeqRanges::TRange> asked;
  {
    std::lock_guard<std::mutex> lock(refillMutex);
    asked.swap(refillAsked);
  }
  if (asked.empty()) return;
  // Only documents this bridge has numbered and taken: the newer ones are on their way anyway.
  const std::uint64_t nHad = std::max(nReplayEnd, nLastLive);
  TSeqRanges added;
  for (const TSeqRanges::TRange& r : asked) {
    for (const TSeqRanges::TRange& part : recentlyRefilled.Outside(std::max<std::uint64_t>(r.nFirst, 1),
                                                                   std::min(r.nLast, nHad)))
      for (const TSeqRanges::TRange& piece : refill.Outside(part.nFirst, part.nLast))
        for (const TSeqRanges::TRange& numbered : skipped.Outside(piece.nFirst, piece.nLast))
          added.Add(numbered.nFirst, numbered.nLast);
  }
  if (nReplayNext < nReplayEnd) added.Remove(nReplayNext + 1, nReplayEnd);  // the start's replay has them
  if (added.Empty()) return;
  const std::uint64_t nFirst = added.First().nFirst;
  while (!added.Empty()) {
    const TSeqRanges::TRange r = added.First();
    refill.Add(r.nFirst, r.nLast);
    added.Remove(r.nFirst, r.nLast);
    if (added.Empty())
      console::Notice("Publishing again %" PRIu64 " documents of %s from seq %" PRIu64 " to %" PRIu64
                      ", which the site lacks\n",
                      refill.Count(), portName, nFirst, r.nLast);
  }
}

// Reads the next documents the site asked for from the journal, in order. False when none is left.
bool TWorker::NextRefilled(Clock::time_point now) {
  if (!refillQueue.empty() || refill.Empty()) return !refillQueue.empty();
  // Only what the journal has on the disk is read: a document it has not written yet is not missing.
  journal::TState state;
  journal::GetState(hJournal, &state);
  while (refillQueue.empty() && !refill.Empty() && refill.First().nFirst <= state.nSynced) {
    TSeqRanges::TRange r = refill.First();
    r.nLast = std::min(r.nLast, state.nSynced);
    journal::TRecord records[kReplayBatch];
    const int n = journal::Read(hJournal, r.nFirst - 1, records, kReplayBatch);
    std::uint64_t nNext = r.nFirst;  // the first seq not yet accounted for
    for (int i = 0; i < n && records[i].nSeq <= r.nLast; ++i) {
      if (records[i].nSeq > nNext) NotHeld(nNext, records[i].nSeq - 1);
      const TFrame f = Journaled(records[i]);
      refillQueue.push_back(f);
      nNext = f.nSeq + 1;
    }
    // Nothing more up to r.nLast in the journal: what is left of the range it does not hold.
    if (n < kReplayBatch || records[n - 1].nSeq >= r.nLast) {
      if (nNext <= r.nLast) NotHeld(nNext, r.nLast);
      nNext = r.nLast + 1;
    }
    if (nNext > r.nFirst) {
      refill.Remove(r.nFirst, nNext - 1);
      refillSent.emplace_back(now, TSeqRanges::TRange{r.nFirst, nNext - 1});
      recentlyRefilled.Add(r.nFirst, nNext - 1);
    }
  }
  return !refillQueue.empty();
}

// Documents the site lacks and the journal no longer holds (given way, or never kept): said once.
void TWorker::NotHeld(std::uint64_t nFirst, std::uint64_t nLast) {
  for (const TSeqRanges::TRange& r : notHeldSaid.Outside(nFirst, nLast)) {
    console::Warning("The site lacks the documents of %s from seq %" PRIu64 " to %" PRIu64
                     ", which the journal no longer holds: %" PRIu64 " lost\n",
                     portName, r.nFirst, r.nLast, r.nLast - r.nFirst + 1);
    health::CountNotHeld(static_cast<long>(r.nLast - r.nFirst + 1));
    notHeldSaid.Add(r.nFirst, r.nLast);
  }
}

// The box's broker confirmed document nSeq: the journal hears of it once no earlier one waits.
void TWorker::Acknowledge(std::uint64_t nSeq) {
  if (hJournal == nullptr || nSeq == 0) return;
  health::SetSeq(nSeq);
  if (!again.empty() && again.begin()->first < nSeq) return;
  for (const auto& [nId, f] : givenUp)
    if (f.nSeq < nSeq) return;
  for (const auto& [nId, f] : inFlight)
    if (f.frame.nSeq < nSeq) return;
  journal::Acknowledge(hJournal, nSeq);
}

namespace {

int ThreadMain(void* pData) {
  TWorker& w = *static_cast<TWorker*>(pData);
  try {
    w.Run();
    return 0;
  } catch (...) {
    health::SetWorkerEnded();
    return -1;
  }
}

}  // namespace

ThKestrinWorker Init(const TStart& start) noexcept {
  try {
    auto pWorker = std::make_unique<TWorker>(start);
    if (!pWorker->requests.Valid() || !pWorker->answers.Valid()) {
      console::Perror("eventfd");
      return nullptr;
    }
    pWorker->pThread = SDL_CreateThread(ThreadMain, "kestrincontrol", pWorker.get());
    if (pWorker->pThread == nullptr) {
      console::Err("Failed to start thread kestrincontrol: %s\n", SDL_GetError());
      return nullptr;
    }
    return pWorker.release();
  } catch (...) {
    return nullptr;
  }
}

void Publish(ThKestrinWorker hInst, std::uint64_t nReplayAfter) noexcept {
  TWorker& w = *static_cast<TWorker*>(hInst);
  w.nReplayAfter = nReplayAfter;
  w.bPublish = true;
  w.requests.Ring();
}

void Refill(ThKestrinWorker hInst, const TSeqRanges::TRange* pRanges, int nRanges) noexcept {
  if (hInst == nullptr || pRanges == nullptr || nRanges <= 0) return;
  TWorker& w = *static_cast<TWorker*>(hInst);
  try {
    {
      std::lock_guard<std::mutex> lock(w.refillMutex);
      w.refillAsked.insert(w.refillAsked.end(), pRanges, pRanges + nRanges);
    }
    w.requests.Ring();
  } catch (...) {
  }
}

void Drain(ThKestrinWorker hInst, int nTimeoutMs) noexcept {
  if (hInst == nullptr) return;
  TWorker& w = *static_cast<TWorker*>(hInst);
  w.bDrained = false;
  w.bDrain = true;
  w.requests.Ring();
  w.answers.WaitFor([&] { return w.bDrained.load(); }, nTimeoutMs);
}

int StopPublishing(ThKestrinWorker hInst, int nTimeoutMs) noexcept {
  if (hInst == nullptr) return 0;
  TWorker& w = *static_cast<TWorker*>(hInst);
  if (w.bStopPublishing.exchange(true)) return 0;
  w.nStopWaitMs = nTimeoutMs;
  w.requests.Ring();
  // The worker itself bounds the wait for the publication in flight; this only bounds a worker that
  // no longer runs.
  if (!w.answers.WaitFor([&] { return w.bStoppedPublishing.load(); }, nTimeoutMs + 1000)) return 0;
  return w.nLeft;
}

void Destroy(ThKestrinWorker hInst) noexcept {
  if (hInst == nullptr) return;
  std::unique_ptr<TWorker> pWorker(static_cast<TWorker*>(hInst));
  pWorker->bQuit = true;
  pWorker->requests.Ring();
  SDL_WaitThread(pWorker->pThread, nullptr);
}

void ReportMalformed(const unsigned char* pFrame) noexcept {
  try {
    frame::TStatus status;
    frame::Decode(pFrame, &status);
    console::FrameWarning("%s", frame::Report(pFrame, status).c_str());
    console::FrameWarning("Malformed frame: not published\n");
  } catch (...) {
  }
}

}  // namespace worker
