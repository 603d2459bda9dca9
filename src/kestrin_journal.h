// The journal of one wheel: every document the service entry publishes, numbered (seq), with the
// bridge's start count (epoch) and the time its frame came whole (captured), kept on the box's disk
// until the site has it, across restarts, crashes and power cuts.
//
// Appending never waits on the disk: the record is copied into a buffer, which WriteOut writes into the
// file (the kernel's page cache, so a crash or a kill loses nothing written), and the journal's own
// thread syncs it (fdatasync) kCommitMs after the first record of a batch at the latest (writing itself
// what WriteOut left, and at once for a batch of 1024, so that a burst goes at the disk's pace): a power
// cut loses at most the records of the last kCommitMs plus one write and sync.
// Records live in segment files under DIRECTORY/WHEEL/; when the last segment allowed is full, the
// oldest gives way whole, counted. A torn or corrupt tail (a power cut during a write) is cut off at
// Init at the last whole record, with one line, and numbering goes on after it.
#pragma once

#include <cstdint>

typedef void* ThKestrinJournal;

namespace journal {

// Results.
constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kFailed = -2;    // the disk refused (the reason was printed)
constexpr int kOverflow = -3;  // Append: the buffer is full (the disk stalls); the record is not kept

constexpr int kFrameLength = 42;
constexpr int kHashLength = 32;

// Defaults: 48 segments of 8 MiB (the disk budget, 384 MiB), at 114 bytes a record over 3.5 million
// records (8 days of a wheel at 5 frames/s, about a day at 40 frames/s, before the oldest segment gives
// way); documents the site confirmed kept for 7 days (the retention), whichever ends first; a batch
// synced 750 ms after its first record.
constexpr std::int64_t kSegmentBytes = 8 << 20;
constexpr int kSegments = 48;
constexpr std::int64_t kRetentionMs = 7 * 24 * 3600 * 1000LL;
constexpr int kCommitMs = 750;

struct TOptions {
  std::int64_t nSegmentBytes = kSegmentBytes;  // at least 4096
  int nSegments = kSegments;                   // at least 2
  int nCommitMs = kCommitMs;                   // 1 to 1000
  // A segment whose documents the site has all confirmed goes once the next one began this long before
  // the newest document (capture times); 0: kept until the disk budget ends.
  std::int64_t nRetentionMs = kRetentionMs;
};

// A document's link in its wheel's chain: the seq and hash of the document before it (prevseq 0: the
// chain starts at this one).
struct TLink {
  std::uint64_t nPrevSeq = 0;
  unsigned char prevHash[kHashLength] = {};
};

// One document as it was journaled.
struct TRecord {
  std::uint64_t nSeq = 0;
  std::uint64_t nEpoch = 0;
  std::int64_t nCapturedMs = 0;  // ms since the Unix epoch, UTC
  unsigned char frame[kFrameLength] = {};
  TLink link;  // zeros in a record of a journal written before documents were chained
};

// The journal's figures, one consistent copy.
struct TState {
  std::uint64_t nEpoch = 0;         // this start's epoch: one more than any the journal held
  std::uint64_t nNextSeq = 0;       // the seq the next Append gives
  std::uint64_t nFirstSeq = 0;      // the oldest document held; 0: none
  std::uint64_t nAcknowledged = 0;  // as last given to Acknowledge, or recovered
  std::uint64_t nConfirmed = 0;     // as last given to Confirm, or recovered
  std::uint64_t nSynced = 0;        // documents up to this seq are on the disk
  long nGivenWay = 0;               // documents dropped with a full journal's oldest segment, this run
  long nGivenWayUnconfirmed = 0;    // of them, those the site had not confirmed
  long nNotKept = 0;                // documents the disk refused or that overflowed the buffer, this run
  long nSyncs = 0;                  // fdatasync calls, this run
  long nLongestCommitMs = 0;        // the longest write and sync of a batch, this run: the loss window
                                    // is nCommitMs plus this
  std::int64_t nBytes = 0;          // bytes in the segment files
  // The numbering at Init. After a stop that was not clean (a crash, a kill, a power cut) the journal
  // numbers on past every seq it had reserved, since a document may have been published with any of
  // them before it reached the disk: those are skipped, with a line.
  std::uint64_t nLastDocSeq = 0;       // the last document on the disk at Init; 0: none
  std::int64_t nLastDocCapturedMs = 0;  // its capture time
  std::uint64_t nSkippedFirst = 0;     // the seqs skipped at Init; 0: none
  std::uint64_t nSkippedLast = 0;
  long nBeyondReserve = 0;             // seqs given beyond the synced reservation (a stalled disk), this run
};

// Opens (and makes, with its directories) the journal of wheel pWheel (its serial as the topic writes
// it, e.g. "42") under pDirectory; pOptions null: the defaults. Recovers the last whole record, cuts a
// torn tail, counts this start (epoch + 1), syncs that, and starts the writer. Null for a wrong argument
// (no directory or wheel, a wheel with '/', options out of range), or with a line saying why when the
// disk refuses.
ThKestrinJournal Init(const char* pDirectory, const char* pWheel, const TOptions* pOptions) noexcept;

// Journals a document: its frame (42 bytes) and when it came whole; *pSeq (may be null) gets its seq,
// also with kOverflow (the document is numbered and published, only not kept). Copies into the buffer
// and returns: never waits on the disk. Any thread.
// pLink (may be null: none) is kept with it; a prevseq not below the seq given becomes 0 there, and
// with prevseq 0 the hash is kept as zeros.
int Append(ThKestrinJournal hJournal, const unsigned char* pFrame, std::int64_t nCapturedMs,
           std::uint64_t* pSeq, TLink* pLink = nullptr) noexcept;

// Writes what Append buffered into the newest segment's file, without a sync, when the writer is not
// at it: the kernel holds it then, so that a crash or a kill of the process loses none of it (a power
// cut can, until the writer's next sync). Call it once a document's publication has started: the
// write goes to the page cache and returns, but the publication need not wait even for that. Returns
// at once when there is nothing to write, or the writer has the file. The worker's thread.
void WriteOut(ThKestrinJournal hJournal) noexcept;

// The box's broker has acknowledged every document up to nSeq: where replay starts after a restart
// when the site has confirmed nothing newer. Kept with the next batch; a lower value than before is
// ignored, as is one beyond the last document. Any thread.
void Acknowledge(ThKestrinJournal hJournal, std::uint64_t nSeq) noexcept;

// The site has stored every document up to nSeq: those records are released (they give way without
// counting as lost, and replay starts after them). Kept with the next batch; lower values ignored.
// At or beyond the next seq (the site holds documents this journal never numbered: a lost or replaced
// journal) the numbering goes on after nSeq, with a line, and the next batch's marks keep that on the
// disk; from 2^53 on, taken as the last document. Any thread.
void Confirm(ThKestrinJournal hJournal, std::uint64_t nSeq) noexcept;

// Copies up to nMax documents with a seq above nAfterSeq, oldest first, into pRecords; returns how many
// (0: none on the disk yet) or a negative result. Only what the writer has written is read: the
// documents of earlier runs at once, this run's within kCommitMs (or after Sync). Successive calls that
// go on where the last ended read on from there. One reading thread at a time; Append may run beside.
int Read(ThKestrinJournal hJournal, std::uint64_t nAfterSeq, TRecord* pRecords, int nMax) noexcept;

// The newest document held at Init (the chain goes on from it): true with *pRecord filled, false when
// the journal held none. Reads as Read does (its thread), before the replay's reads.
bool ReadLast(ThKestrinJournal hJournal, TRecord* pRecord) noexcept;

// Has the writer write and sync what is buffered now; waits at most nTimeoutMs. False on a time-out
// or a failed write.
bool Sync(ThKestrinJournal hJournal, int nTimeoutMs) noexcept;

// Copies the figures into *pState. Null handle or pState: nothing.
void GetState(ThKestrinJournal hJournal, TState* pState) noexcept;

// Writes and syncs what is buffered, stops the writer and closes the files. Null does nothing.
void Destroy(ThKestrinJournal hJournal) noexcept;

}  // namespace journal
