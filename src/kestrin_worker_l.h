// The worker's record; only the worker and its tests see it. Its loop's state is its own: other
// threads write only the requests, and read only the answers.
#pragma once

#include <SDL2/SDL_thread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "kestrin_broker.h"
#include "kestrin_chain.h"
#include "kestrin_doorbell.h"
#include "kestrin_frame.h"
#include "kestrin_journal.h"
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

// A frame in hand, carried by value from the link to its document's outcome.
struct TFrame {
  unsigned char bytes[transport::kFrameLength] = {};
  frame::TStatus status;         // decoded; only whole frames become a TFrame
  std::int64_t nCapturedMs = 0;  // when its last byte was read, ms since the Unix epoch
  std::uint64_t nSeq = 0;        // its document number, with a journal; 0: none
  std::uint64_t nEpoch = 0;      // with nSeq: the start that read it
  journal::TLink link;           // with a chain: the document before it, as its signature covers
  bool bReplayed = false;        // a journal record of an earlier start, published again
  std::uint64_t nOrder = 0;      // taken as the nth frame of this run (with a journal: its seq), so
                                 // frames published again keep their place
  int nAttempts = 0;             // publications started for it
};

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
  bool NextFrame(Clock::time_point now);
  void Hold();
  void GiveUp(Clock::time_point now);
  void DeviceLost(Clock::time_point now);
  void StopPublishingNow();
  bool CanPublish(Clock::time_point now) const;
  void TakeArrived(Clock::time_point now);
  void Journal(TFrame& f);
  bool NextReplayed();
  bool Windowed() const { return hJournal != nullptr; }
  void GiveUpLate(Clock::time_point now);
  void Unconfirmed(Clock::time_point now, std::uint64_t nId, const TFrame& f);
  void TakeRefills(Clock::time_point now);
  bool NextRefilled(Clock::time_point now);
  void NotHeld(std::uint64_t nFirst, std::uint64_t nLast);
  void Acknowledge(std::uint64_t nSeq);

  TPhase phase = TPhase::kWaiting;
  bool bDeviceOpen = true;
  bool bHaveFrame = false;
  TFrame inHand;                            // with bHaveFrame
  std::map<std::uint64_t, TFrame> again;    // failed publications by nOrder, published before the link's
  std::map<std::uint64_t, TFrame> givenUp;  // publications given up on, by id, until their outcome
  std::uint64_t nAwaited = 0;               // the publication of the frame in hand (kPublishing)
  // With a journal (the service entry) up to kWindow publications are in flight at once, by id, each
  // given up on at its due: a backlog goes at the broker's pace, and no pause holds the live feed.
  struct TInFlight {
    TFrame frame;
    Clock::time_point due;
  };
  std::map<std::uint64_t, TInFlight> inFlight;
  std::vector<broker::TOutcome> outcomes;
  // With a journal: every whole frame is taken from the link as it comes and journaled (fresh), and
  // the records of earlier starts after nReplayNext up to nReplayEnd are read back and published
  // first (replay).
  std::deque<TFrame> fresh;
  std::deque<TFrame> replay;
  std::uint64_t nReplayNext = 0;
  std::uint64_t nReplayEnd = 0;
  std::uint64_t nEpoch = 0;
  // The site's requests (Refill): the seqs still to be read back, those read back and waiting behind
  // the live documents, those published within kRefillAgainSeconds (not sent again meanwhile), and
  // those the journal no longer held (said once).
  TSeqRanges refill;
  std::deque<TFrame> refillQueue;
  std::deque<std::pair<Clock::time_point, TSeqRanges::TRange>> refillSent;
  TSeqRanges recentlyRefilled;
  TSeqRanges notHeldSaid;
  TSeqRanges skipped;  // seqs the journal skipped at this start: no document has them
  std::uint64_t nLastLive = 0;  // the newest of this start's documents taken for publication
  long nFreshDropped = 0;  // fresh frames that gave way to newer ones, not yet told
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
  Clock::time_point due{};   // kPublishing: give up; kPausing: go on
  Clock::time_point reopenDue{};
  Clock::time_point retryDue{};  // the library said "not connected": try again no sooner
  Clock::time_point lateDue = Clock::time_point::max();
  Clock::time_point recountDue{};
  Clock::time_point stopDue = Clock::time_point::max();
  Clock::time_point frameEndDue = Clock::time_point::max();  // a stop waits this long for a frame begun
  Clock::time_point drainFrameDue = Clock::time_point::max();  // the drain waits for a begun frame
};

}  // namespace worker
