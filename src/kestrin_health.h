// The running bridge's health: what STATUS, the console and a status topic tell of it. The worker and
// the broker connection write the figures as they change; any thread may take a snapshot at any time.
// Nothing here blocks beyond a short internal lock, so the writers may be library callbacks.
#pragma once

#include <cstdint>

namespace health {

// The bridge's state, the worst of what is wrong first. The numbers are stable: a monitor may carry
// them as they are; StateName() gives the one name of each, as the status topic carries it.
enum TState : int {
  kStarting = 0,       // "starting": waiting for the wheel's first frame (or its port), or its document
  kConnecting = 1,     // "starting": the start-up connect to the broker is in progress
  kPublishing = 2,     // "publishing": all well
  kDeviceLost = 3,     // "serial device lost": the serial device failed; it is being reopened
  kBrokerAway = 4,     // "broker trouble": the connection is lost; reconnecting, frames are held
  kNotConfirming = 5,  // "broker trouble": the last publication was not confirmed within its bound
  kBehind = 6,         // "behind the wheel": publishing frames more than 2 s old
  kSilent = 7,         // "wheel silent": no frame from the wheel for 30 s
  kStopping = 8,       // "stopped": shutdown has begun
};
const char* StateName(int nState) noexcept;

// One consistent copy of the figures.
struct THealth {
  int nState = kStarting;
  std::int64_t nStateSinceMs = 0;   // when nState began, ms since the Unix epoch
  std::int64_t nLastFrameMs = 0;    // when the frame of the last document published arrived, ms since
                                    // the epoch; 0: none yet
  long nPublished = 0;              // frames whose publication the broker confirmed
  long nDropped = 0;                // frames the wheel sent and the bridge lost (refused, failed, the
                                    // link's full queue, left at shutdown); never noise
  long nMalformed = 0;              // frames reported as malformed, not published
  int nUnconfirmed = 0;             // publications given up on whose outcome has not come
  long nBehindSeconds = 0;          // age of the frame being published once it is worth a line; else 0
  int nFramesWaiting = 0;           // whole frames waiting in the link's queue, as last counted
  bool bConnecting = false;         // a connect to the broker is in progress (start-up or reconnect)
  int nRefusal = 0;                 // the broker's refusal (CONNACK code) of the last reconnect; 0: none
  bool bWorkerEnded = false;        // the worker ended on its own: the bridge no longer publishes
  // With a journal (the service entry): the seq of the last document confirmed, this start's epoch,
  // and the documents a full journal dropped unconfirmed by the site, this run.
  std::uint64_t nSeq = 0;
  std::uint64_t nEpoch = 0;
  long nJournalGivenWay = 0;
  // Signatures (the service entry): whether the documents are signed, the seq of the newest site
  // checkpoint accepted (0: none), and the line when the site's record differs from what was sent.
  bool bSigned = false;
  std::uint64_t nCheckpointSeq = 0;
  char siteDiffers[128] = {};
  long nNotHeld = 0;  // documents the site asked for again that the journal no longer held, this run
};

// Copies the current figures into *pHealth. Null does nothing.
void Snapshot(THealth* pHealth) noexcept;

// Called after every change of the state or the figures, on the thread that made it (a library
// callback among them); must return at once. The one channel through which the programs hear of the
// bridge. Set before the bridge starts; null: none.
void SetListener(void (*pListener)()) noexcept;

// Writers: the bridge's own threads and the client library's callbacks.
void Reset() noexcept;  // back to kStarting with every count 0; for a fresh start-up
void SetConnecting(bool bConnecting) noexcept;
void SetRunning() noexcept;  // start-up is over: the first frame has had its chance
void SetStopping() noexcept;
void SetDeviceLost(bool bLost) noexcept;
void SetBrokerAway(bool bAway) noexcept;
void SetRefusal(int nCode) noexcept;
void SetNotConfirming(bool bNotConfirming) noexcept;
void SetUnconfirmed(int nUnconfirmed) noexcept;
void SetBehind(long nSeconds) noexcept;
void SetSilent(bool bSilent) noexcept;
void SetFramesWaiting(int nFrames) noexcept;
void SetWorkerEnded() noexcept;
void CountPublished(std::int64_t nCapturedMs) noexcept;  // the broker confirmed a document, its frame
                                                          // captured then (ms since the epoch)
void CountDropped(long nFrames) noexcept;
void SetJournal(std::uint64_t nEpoch, long nGivenWay) noexcept;
void SetSigned(bool bSigned) noexcept;
void SetCheckpoint(std::uint64_t nSeq) noexcept;
void SetSiteDiffers(const char* pLine) noexcept;  // "" : none
void SetSeq(std::uint64_t nSeq) noexcept;  // the last document confirmed: the highest seq so far
void CountMalformed() noexcept;
void CountNotHeld(long nDocuments) noexcept;

}  // namespace health
