// The worker's record; only the worker and its tests see it. Its loop's state is its own: other
// threads write only the requests, and read only the answers.
#pragma once

#include <SDL2/SDL_thread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kestrin_broker.h"
#include "kestrin_chain.h"
#include "kestrin_doorbell.h"
#include "kestrin_frame.h"
#include "kestrin_journal.h"
#include "kestrin_outbox.h"
#include "kestrin_seq_ranges.h"
#include "kestrin_transport.h"

namespace worker {

struct TStart;  // kestrin_worker.h
using Clock = std::chrono::steady_clock;

// What the loop is doing, and what it waits for besides the device, the requests and the broker's
// outcomes, which it serves in every phase but kStopped. The device being open or lost is beside it.
enum class TPhase {
  kWaiting,     // start-up connects: no frame is taken yet; waits for Publish()
  kReading,     // nothing in hand: waits for the link to hold a frame
  kPublishing,  // the frame in hand is with the broker: waits for its outcome, at most 10 s (with a
                //   journal: kWindow publications are in flight: waits for one's outcome or due)
  kPausing,     // 150 ms after a publication before the next frame is taken (none while draining, none
                //   with a journal)
  kHolding,     // the broker is away: the frame in hand and those behind it wait until it is back
  kStopped,     // shutdown: nothing is published any more; waits for the end
};

// A frame read whole, carried by value from the link to its document's outcome (kestrin_outbox.h).
using TFrame = outbox::TDocument;

// Notices a wheel that has fallen silent, and its return, each with one line.
class TSilenceWatch {
 public:
  explicit TSilenceWatch(const char* pPortName);
  void Heard(Clock::time_point now);
  Clock::time_point Due() const;
  void Check(Clock::time_point now);

 private:
  const char* pPortName_;
  bool bSilent_ = false;
  Clock::time_point due_;
};

// Notices a backlog by the age of the frame being published.
class TBacklogWatch {
 public:
  explicit TBacklogWatch(const char* pPortName) : pPortName_(pPortName) {}
  void FrameTaken(ThKestrinTrans hTrans);
  void FrameTaken(long nAgeMs, int nQueuedFrames, int nQueuedBytes);

 private:
  const char* pPortName_;
  long nReportedMs_ = 0;  // the age the last line told of; 0: not behind
};

// Opens the lost device again, telling each reason once.
class TReopener {
 public:
  explicit TReopener(const char* pPortName) : pPortName_(pPortName) {}
  bool TryOpen(ThKestrinTrans hTrans);
  void FrameArrived();
  void Lost();

 private:
  const char* pPortName_;
  int nLastError_ = 0;
  bool bFramed_ = false;         // the open device has delivered a frame
  bool bFailedUnheard_ = false;  // the device last opened failed before delivering any frame
};

struct TWorker {
  explicit TWorker(const TStart& start);
  ~TWorker();
  TWorker(const TWorker&) = delete;
  TWorker& operator=(const TWorker&) = delete;

  // Set before the thread starts, then only read.
  ThKestrinTrans hTrans;
  ThKestrinBroker hBroker;
  ThKestrinJournal hJournal;
  ThKestrinChain hChain;  // signs and chains the documents; null: unsigned
  char portName[100] = {};
  char clientId[5] = {};
  SDL_Thread* pThread = nullptr;

  // Requests from other threads; each rings `requests`.
  std::atomic<bool> bPublish{false};
  std::atomic<bool> bDrain{false};
  std::atomic<bool> bStopPublishing{false};
  std::atomic<bool> bQuit{false};
  std::atomic<std::uint64_t> nReplayAfter{0};  // with bPublish: where the journal's replay starts
  std::atomic<int> nStopWaitMs{0};  // with bStopPublishing: how long the publication in flight may take
  std::mutex refillMutex;                        // guards refillAsked
  std::vector<TSeqRanges::TRange> refillAsked;  // the site's requests, not yet taken by the loop
  TDoorbell requests;
  // Answers, for the thread that asked; each rings `answers`.
  std::atomic<bool> bDrained{false};
  std::atomic<bool> bStoppedPublishing{false};
  std::atomic<int> nLeft{0};  // with bStoppedPublishing: the frames not published
  TDoorbell answers;
  std::atomic<TPhase> shownPhase{TPhase::kWaiting};  // the phase, for a reader on another thread

  // The loop (kestrin_worker.cpp); only the worker's thread touches what follows.
  void Run();
  void Step(Clock::time_point now);
  void Wait(Clock::time_point now);
  void Enter(TPhase next);
  void TakeOutcomes(Clock::time_point now);
  void PublishNext(Clock::time_point now);
  TFrame* NextFrame(Clock::time_point now);
  void Hold();
  void DeviceLost(Clock::time_point now);
  void StopPublishingNow();
  bool CanPublish(Clock::time_point now) const;
  void TakeArrived(Clock::time_point now);
  void Journal(TFrame& f);
  bool Windowed() const { return hJournal != nullptr; }
  void GiveUpLate(Clock::time_point now);
  void Unconfirmed(const outbox::TSettled& given);
  void TakeRefills(Clock::time_point now);
  void Acknowledge(const outbox::TSettled& settled);

  // Every document on its way out, whatever brought it, with its state: queued, in flight, overdue
  // (kestrin_outbox.h). With a journal (the service entry) up to kWindow publications are in flight at
  // once, each given up on at its due: a backlog goes at the broker's pace, and no pause holds the live
  // feed. Without one (the console program), one at a time, with the pause after it.
  ThKestrinOutbox hOutbox = nullptr;
  TFrame first;             // with bHaveFirst: the frame that accepted the port
  bool bHaveFirst = false;  // until it is in the outbox (and, without a journal, told)
  TPhase phase = TPhase::kWaiting;
  bool bDeviceOpen = true;
  std::vector<broker::TOutcome> outcomes;
  std::uint64_t nEpoch = 0;
  long nFreshDropped = 0;  // live frames that gave way to newer ones, not yet told
  TSilenceWatch silence;
  TBacklogWatch backlog;
  TReopener reopener;
  bool bQueueEmpty = false;     // the last look found no frame to take
  bool bHoldTold = false;       // the hold of this absence has been told
  bool bNotConfirming = false;  // the last publication was given up on, and none confirmed since
  int nLate = 0;                // failures of publications given up on, still to be told
  std::uint64_t nBegun = 0;
  std::uint64_t nTaken = 0;  // whole frames taken from the link
  bool bRunning = false;     // health has been told that start-up is over
  Clock::time_point due{};   // kPausing: go on
  Clock::time_point reopenDue{};
  Clock::time_point retryDue{};  // the library said "not connected": try again no sooner
  Clock::time_point lateDue = Clock::time_point::max();
  Clock::time_point recountDue{};
  Clock::time_point stopDue = Clock::time_point::max();
  Clock::time_point frameEndDue = Clock::time_point::max();  // a stop waits this long for a frame begun
  Clock::time_point drainFrameDue = Clock::time_point::max();  // the drain waits for a begun frame
};

}  // namespace worker
