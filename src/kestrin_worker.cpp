// The publishing worker: one loop on a thread of its own, and a frame's whole way from the device to the
// broker.
//
// The loop waits in one poll() on everything it serves: the serial device, the broker's outcomes and
// return (broker::Events) and the requests of other threads, with the nearest of its timers as the
// time-out. What it is doing is its phase (TPhase in kestrin_worker_l.h), changed only by Enter().
//
// A frame's way: whenever the device is readable its bytes go into the link's queue (transport::Fill),
// whatever the phase, so the device's small input queue never overflows. Every document on its way out
// is in the outbox (kestrin_outbox), one entry each with its state: queued, in flight, overdue. In
// kReading the loop asks the outbox for the next document (NextFrame): one whose publication failed
// first, at its place; without a journal, when none waits, the link's next frame: a malformed one is
// reported and the next is taken at once; a whole one is reported and queued. Its document is handed
// to the library (broker::StartPublication), which returns at once, and the loop is kPublishing. The
// outcome comes through broker::TakeOutcomes and goes to the outbox: confirmed, it is counted as
// published and the loop pauses (kPausing); failed, it is queued again at its place. Not confirmed
// within 10 s, it is given up on (overdue): kept until its outcome comes late (published, or queued
// again after a failure) and the loop goes on with the next frame. While the broker is away (kHolding)
// no document is taken: they wait, in order, until it is back. A consumer may see a document twice:
// when the broker got a publication whose confirmation was lost with the connection, it is published
// again.
//
// With a journal (the service entry) a whole frame does not wait in the link: as soon as it has come it
// is taken (TakeArrived), numbered, journaled and queued in the outbox; each pass of the loop writes it
// out into the journal's file (WriteOut) after the publication it started, so that a crash or a kill
// loses nothing read and a power cut nothing synced, whatever the phase; a failed start-up keeps it.
// Its document carries seq, epoch and captured, and with the box key (kestrin_chain: linked to the
// document numbered before it when it is journaled, signed when it is published) prev, sig and key.
// Up to kWindow publications are in flight at once, without the pause. Once published, the records of
// earlier starts that the site (or else the box's broker) had not confirmed, and later those the site
// asks for again (Refill), are read back into the outbox and published, marked replayed, never holding
// up a live document; the box's broker's confirmations go to the journal (Acknowledge).
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
  outbox::TOptions options;
  options.hJournal = hJournal;
  options.pPortName = portName;
  options.nWindow = Windowed() ? kWindow : 1;
  options.nMaxLive = kMaxFresh;
  options.nMaxOverdue = kMaxUnconfirmed;
  options.nRefillAgainSeconds = kRefillAgainSeconds;
  hOutbox = outbox::Init(options);
  if (start.pFirstFrame != nullptr) {
    std::memcpy(first.bytes, start.pFirstFrame, sizeof first.bytes);
    frame::Decode(first.bytes, &first.status);
    first.nCapturedMs = start.nFirstFrameMs > 0 ? start.nFirstFrameMs : WallMs();
    first.nOrder = ++nTaken;
    bHaveFirst = true;
  }
}

TWorker::~TWorker() { outbox::Destroy(hOutbox); }

void TWorker::Run() {
  nBegun = transport::FramesBegun(hTrans);
  if (bHaveFirst) reopener.FrameArrived();
  // The device may have failed while start-up probed it.
  if (transport::Descriptor(hTrans) < 0) DeviceLost(Clock::now());
  if (hJournal != nullptr) {
    journal::TState state;
    journal::GetState(hJournal, &state);
    nEpoch = state.nEpoch;
    health::SetJournal(nEpoch, 0);
    // The first frame is this start's first document: journaled, and published after the replay.
    if (bHaveFirst) {
      Journal(first);
      outbox::AddLive(hOutbox, first, &nFreshDropped);
      bHaveFirst = false;
    }
    TakeArrived(Clock::now());
  } else if (bHaveFirst) {
    first.bTold = true;  // told when publishing begins
    outbox::AddLive(hOutbox, first, nullptr);
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
    outbox::TCounts counts;
    outbox::GetCounts(hOutbox, &counts);
    const bool bMore = bDrain && !bNotConfirming && CanPublish(now) &&
                       (counts.nQueuedLive > 0 || transport::QueuedFrames(hTrans) > 0);
    // With a journal, reading ends between frames: a frame begun is read whole (and journaled), so that
    // what the device keeps for the next start (systemd's store) begins with a whole frame.
    if (frameEndDue == kNever) frameEndDue = now + kFrameInTransit;
    const bool bFrameComing = Windowed() && bDeviceOpen && transport::FrameBegun(hTrans) && now < frameEndDue;
    if ((phase != TPhase::kPublishing && counts.nInFlight == 0 && !bMore && !bFrameComing) ||
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
  if (Windowed()) GiveUpLate(now);
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
      if (hJournal != nullptr) outbox::Replay(hOutbox, nReplayAfter);
      if (bHaveFirst) Report(first);  // the frame that accepted the port, told once it can go
      bHaveFirst = false;
      Enter(TPhase::kReading);
      break;
    case TPhase::kPublishing:
      if (!Windowed()) GiveUpLate(now);
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
    outbox::TCounts counts;
    outbox::GetCounts(hOutbox, &counts);
    health::SetFramesWaiting((bBacklog ? std::max(transport::QueuedFrames(hTrans), 0) : 0) +
                             (Windowed() ? static_cast<int>(counts.nQueuedLive) : 0));
    if (hJournal != nullptr) {
      journal::TState state;
      journal::GetState(hJournal, &state);
      health::SetJournal(nEpoch, state.nGivenWayUnconfirmed);
      // What the site confirmed leaves the outbox: its seqs, and history still queued.
      outbox::SiteConfirmed(hOutbox, state.nConfirmed);
    }
    recountDue = now + kRecount;
  }
  // The shutdown's drain is over once nothing more can be published now: nothing waits, the broker is
  // away, or it stopped confirming.
  // A frame the wheel has begun is waited for, 1 s at most: a stop cut it short otherwise, and with
  // the device kept open for the next start, its tail would reach that start alone.
  if (bDrain && drainFrameDue == kNever) drainFrameDue = now + kFrameInTransit;
  const bool bFrameComing = transport::FrameBegun(hTrans) && now < drainFrameDue;
  outbox::TCounts counts;
  if (bDrain && !bDrained) outbox::GetCounts(hOutbox, &counts);
  if (bDrain && !bDrained && phase != TPhase::kPublishing &&
      ((phase == TPhase::kReading && bQueueEmpty && !bFrameComing && counts.nInFlight == 0) ||
       phase == TPhase::kHolding || bNotConfirming)) {
    bDrained = true;
    answers.Ring();
  }
}

// Blocks in one poll() until something the loop serves is ready or its nearest timer is due.
void TWorker::Wait(Clock::time_point now) {
  Clock::time_point next = lateDue;
  const bool bStopped = phase == TPhase::kStopped;
  outbox::TCounts counts;
  outbox::GetCounts(hOutbox, &counts);
  if (!bStopped) next = std::min(next, counts.due);  // the oldest publication's 10 s
  if (bStopPublishing && !bStopped) next = std::min(next, stopDue);
  if (bStopPublishing && !bStopped && frameEndDue > now && transport::FrameBegun(hTrans))
    next = std::min(next, frameEndDue);
  // The pause matters only when a frame waits; otherwise the device wakes the loop anyway.
  if (phase == TPhase::kPausing &&
      (counts.nQueuedLive > 0 || counts.bHistory || transport::FrameBegun(hTrans)))
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

// The next document to publish: the outbox's (a frame to be published again first, the replay, live
// frames, then the site's refills), else, without a journal, the link's next whole frame. Null when
// there is none, or the broker is away.
TFrame* TWorker::NextFrame(Clock::time_point now) {
  for (;;) {
    if (!CanPublish(now)) {
      Hold();
      return nullptr;
    }
    if (TFrame* pFrame = outbox::Next(hOutbox, now)) {
      if (!pFrame->bTold) {  // a live frame of the journal's, taken for the first time
        pFrame->bTold = true;
        outbox::TCounts counts;
        outbox::GetCounts(hOutbox, &counts);
        const int nQueued = static_cast<int>(counts.nQueuedLive) - 1;
        backlog.FrameTaken(WallMs() - pFrame->nCapturedMs, nQueued,
                           nQueued * transport::kFrameLength + std::max(transport::QueuedBytes(hTrans), 0));
        Report(*pFrame);
      }
      return pFrame;
    }
    if (Windowed()) {
      bQueueEmpty = true;
      return nullptr;
    }
    TFrame f;
    unsigned short nLength = 0;
    if (transport::Take(hTrans, f.bytes, &nLength) != transport::kOk) {
      bQueueEmpty = true;
      return nullptr;
    }
    if (!transport::WholeFrame(f.bytes)) {
      ReportMalformed(f.bytes);
      health::CountMalformed();
      continue;  // nothing was published: no pause
    }
    silence.Heard(now);
    backlog.FrameTaken(hTrans);
    frame::Decode(f.bytes, &f.status);
    f.nCapturedMs = WallMs() - std::max(transport::FrameAgeMs(hTrans), 0L);
    f.nOrder = ++nTaken;
    f.bTold = true;
    Report(f);
    if (outbox::AddLive(hOutbox, f, nullptr) != outbox::kOk) health::CountDropped(1);
  }
}

// Starts the publication of the next document; with a journal, of every one that waits, as long as the
// window has room.
void TWorker::PublishNext(Clock::time_point now) {
  bQueueEmpty = false;
  for (;;) {
    TFrame* pFrame = NextFrame(now);
    if (pFrame == nullptr) return;
    const TFrame& f = *pFrame;  // the outbox's, until it is told what became of it
    char topic[frame::kTopicSize];
    frame::FormatTopic(topic, f.status.nSerial);
    int rc = 0;
    char seq[24], epoch[24], captured[32];
    std::snprintf(seq, sizeof seq, "%" PRIu64, f.nSeq);
    std::snprintf(epoch, sizeof epoch, "%" PRIu64, f.nEpoch);
    chain::FormatCaptured(f.nCapturedMs, captured);
    std::string payload;
    if (hChain == nullptr || f.Replayed() || !chain::TakePayload(hChain, f.nSeq, &payload))
      payload = frame::Document(f.status);
    broker::TUserProperty properties[7] = {{"seq", seq}, {"epoch", epoch}, {"captured", captured}};
    int nProperties = hJournal == nullptr ? 0 : 3;
    // Signed: the same statement each time it is published; `replayed` stays outside what is signed.
    chain::TProperties signedBy;
    if (hChain != nullptr && chain::Sign(hChain, f.status.nSerial, f.nSeq, f.nEpoch, captured, payload,
                                         f.link, &signedBy) == chain::kOk) {
      if (signedBy.prev[0] != '\0') properties[nProperties++] = {"prev", signedBy.prev};
      properties[nProperties++] = {"sig", signedBy.sig};
      properties[nProperties++] = {"key", signedBy.key};
    }
    if (hJournal != nullptr && f.Replayed()) properties[nProperties++] = {"replayed", "1"};
    if (const std::uint64_t nId =
            broker::StartPublication(hBroker, topic, payload, &rc, properties, nProperties)) {
      console::Debug("Waiting for publication on topic %s for client with ClientID: %s\n", topic, clientId);
      bHoldTold = false;
      outbox::Started(hOutbox, nId, now + std::chrono::seconds(kPublishWaitSeconds));
      outbox::TCounts counts;
      outbox::GetCounts(hOutbox, &counts);
      if (!Windowed() || counts.nInFlight >= kWindow) return Enter(TPhase::kPublishing);
      continue;
    }
    if (rc == broker::kNotConnected) {
      retryDue = now + kRetryWhileLost;
      return Hold();  // it stays queued
    }
    // Refused while connected: the frame is lost.
    console::FrameWarning("Failed to start sendMessage, return code %d\n", rc);
    health::CountDropped(1);
    outbox::Refused(hOutbox);
    if (Windowed()) continue;
    due = now + kPassPause;
    return Enter(TPhase::kPausing);
  }
}

// The broker is away: frames wait in the outbox and the link. Said once for each absence, when a frame
// is held.
void TWorker::Hold() {
  if (phase != TPhase::kHolding) Enter(TPhase::kHolding);
  if (bHoldTold) return;
  outbox::TCounts counts;
  outbox::GetCounts(hOutbox, &counts);
  if (counts.nQueuedLive == 0 && transport::QueuedFrames(hTrans) <= 0) return;
  console::Notice("The broker is away; the frames from %s are held until it is back\n", portName);
  bHoldTold = true;
}

// The outcomes that came: one in flight ends its wait (without a journal, kPublishing); a late one
// settles a publication given up on. A failed one is queued again at its place, but after the stop.
void TWorker::TakeOutcomes(Clock::time_point now) {
  outcomes.clear();
  broker::TakeOutcomes(hBroker, &outcomes);
  for (const broker::TOutcome& outcome : outcomes) {
    outbox::TSettled settled;
    if (outbox::Settle(hOutbox, outcome.nId, outcome.bDelivered, phase != TPhase::kStopped, &settled) !=
        outbox::kOk)
      continue;
    const TFrame& f = settled.document;
    if (settled.was == outbox::TState::kInFlight) {
      if (outcome.bDelivered) {
        console::Debug("Published\n");
        health::CountPublished(f.nCapturedMs);
        Acknowledge(settled);
      }
      if (bNotConfirming) health::SetNotConfirming(false);
      bNotConfirming = false;
      if (Windowed()) {
        if (!bRunning) Enter(TPhase::kPausing);  // the first frame has had its chance: start-up is over
        if (phase == TPhase::kPublishing || phase == TPhase::kPausing) Enter(TPhase::kReading);
      } else {
        // History goes out at the broker's pace; the pause is the live documents'.
        due = f.Replayed() ? now : now + kPassPause;
        Enter(TPhase::kPausing);
      }
      continue;
    }
    if (outcome.bDelivered) {
      health::CountPublished(f.nCapturedMs);
      Acknowledge(settled);
    } else {
      if (nLate == 0) lateDue = now + kLateFailureGather;
      ++nLate;
      if (phase == TPhase::kStopped) health::CountDropped(1);
    }
    outbox::TCounts counts;
    outbox::GetCounts(hOutbox, &counts);
    health::SetUnconfirmed(static_cast<int>(counts.nOverdue));
    if (phase != TPhase::kPublishing && bNotConfirming && counts.nOverdue == 0) {
      bNotConfirming = false;
      health::SetNotConfirming(false);
    }
  }
}

// The publications in flight that waited their 10 s, oldest first: kept for their late outcome, and
// the loop goes on (without a journal, after the pause).
void TWorker::GiveUpLate(Clock::time_point now) {
  outbox::TSettled given;
  while (outbox::GiveUpDue(hOutbox, now, false, &given)) {
    Unconfirmed(given);
    if (!Windowed()) {
      due = now + kPassPause;
      Enter(TPhase::kPausing);
      continue;
    }
    if (!bRunning) Enter(TPhase::kPausing);
    if (phase == TPhase::kPublishing || phase == TPhase::kPausing) Enter(TPhase::kReading);
  }
}

// A publication is given up on: kept for its late outcome.
void TWorker::Unconfirmed(const outbox::TSettled& given) {
  char topic[frame::kTopicSize];
  frame::FormatTopic(topic, given.document.status.nSerial);
  console::FrameWarning(
      "Delivery of the frame on topic %s not confirmed within %d s; going on with the next frame\n", topic,
      kPublishWaitSeconds);
  broker::GiveUp(hBroker, given.nId);
  if (given.nForgotten != 0) broker::Forget(hBroker, given.nForgotten);  // queued again
  outbox::TCounts counts;
  outbox::GetCounts(hOutbox, &counts);
  health::SetUnconfirmed(static_cast<int>(counts.nOverdue));
  bNotConfirming = true;
  health::SetNotConfirming(true);
}

// Shutdown: nothing more is published. A publication still in flight is given up on, so that its late
// outcome still counts it; every other frame read is counted as dropped now.
void TWorker::StopPublishingNow() {
  outbox::TSettled given;
  while (outbox::GiveUpDue(hOutbox, Clock::now(), true, &given)) {
    broker::GiveUp(hBroker, given.nId);
    if (given.nForgotten != 0) broker::Forget(hBroker, given.nForgotten);
  }
  outbox::TCounts counts;
  outbox::GetCounts(hOutbox, &counts);
  health::SetUnconfirmed(static_cast<int>(counts.nOverdue));
  // Records read back from the journal are not this start's frames: they stay there for the next.
  const int nFrames = outbox::Stop(hOutbox) + std::max(transport::QueuedFrames(hTrans), 0);
  if (nFrames > 0) health::CountDropped(nFrames);
  Enter(TPhase::kStopped);
  nLeft = nFrames;
  bStoppedPublishing = true;
  answers.Ring();
}

// With a journal: takes every whole frame the link holds, journals it and queues it in the outbox; a
// malformed one is reported at once.
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
    // A frame that gives way to a newer one is still in the journal: the next start publishes it again.
    if (outbox::AddLive(hOutbox, f, &nFreshDropped) != outbox::kOk) ++nFreshDropped;
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
  f.origin = outbox::TOrigin::kLive;
  f.bTold = false;
}

// The site's requests that came go to the outbox, which queues what of them this start has published
// (or will publish in the start's replay) and has not published again within kRefillAgainSeconds.
void TWorker::TakeRefills(Clock::time_point now) {
  std::vector<TSeqRanges::TRange> asked;
  {
    std::lock_guard<std::mutex> lock(refillMutex);
    asked.swap(refillAsked);
  }
  outbox::Refill(hOutbox, asked.data(), static_cast<int>(asked.size()), now);
}

// The box's broker confirmed a document: the journal hears of it once no earlier one waits.
void TWorker::Acknowledge(const outbox::TSettled& settled) {
  if (hJournal == nullptr || settled.document.nSeq == 0) return;
  health::SetSeq(settled.document.nSeq);
  if (settled.nAcknowledge != 0) journal::Acknowledge(hJournal, settled.nAcknowledge);
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
    if (pWorker->hOutbox == nullptr) {
      console::Err("Failed to start thread kestrincontrol: out of memory\n");
      return nullptr;
    }
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
