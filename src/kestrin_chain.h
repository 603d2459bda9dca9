// The box's chain of one wheel's documents: each document the service entry numbers is linked to the
// one numbered before it (its prevseq and hash go into the journal with it) and signed with the box's
// key when it is published (docs/reference/signatures.md). The chain goes on across restarts from the
// journal's newest document, and a document read back from the journal is signed again identically.
//
// The chain also keeps what this box sent: each document's seq and the first 16 bytes of its hash, in
// a file a day under DIRECTORY/WHEEL/sent/ (24 bytes a document, kept kSentDays days), so that the
// site's checkpoints can be held to it (kestrin_checkpoint).
#pragma once

#include <cstdint>
#include <string>

#include "kestrin_frame.h"
#include "kestrin_journal.h"
#include "kestrin_signature.h"

typedef void* ThKestrinChain;

namespace chain {

constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kFailed = -2;

constexpr int kSentDays = 31;          // a day file older than this is removed
constexpr int kSentPrefix = 16;        // bytes of a document's hash kept
constexpr std::size_t kSentRecent = 20000;  // the newest kept in memory too (over an hour at 5/s)

// The texts a signed document carries as user properties; prev is "" at the chain's start.
struct TProperties {
  char prev[signature::kPrevSize] = {};
  char sig[signature::kSigTextSize] = {};
  char key[signature::kKeyIdSize] = {};
};

// The chain of the wheel whose journal is hJournal (opened under pDirectory for pWheel); hKey signs.
// Both stay the caller's and outlive the chain. Reads the journal's newest document to go on from it
// (the journal's reading thread: call it before the replay). Null for a wrong argument or when the
// directory of what was sent cannot be made (a line says why).
ThKestrinChain Init(ThKestrinKey hKey, ThKestrinJournal hJournal, const char* pDirectory,
                    const char* pWheel) noexcept;
void Destroy(ThKestrinChain hChain) noexcept;

// Numbers and journals a document (journal::Append) linked to the one before; *pSeq and *pLink get
// its seq and link. Returns journal::Append's result. The worker's thread.
int Append(ThKestrinChain hChain, const unsigned char* pFrame, const frame::TStatus& status,
           std::int64_t nCapturedMs, std::uint64_t* pSeq, journal::TLink* pLink) noexcept;

// The payload Append rendered for document nSeq, into *pPayload (the same bytes frame::Document gives),
// so that its publication need not render it again; false when it is not held (the newest 256 are,
// each until taken). The worker's thread.
bool TakePayload(ThKestrinChain hChain, std::uint64_t nSeq, std::string* pPayload) noexcept;

// Signs a numbered document for its publication: pCaptured and payload exactly as published.
int Sign(ThKestrinChain hChain, int nSerial, std::uint64_t nSeq, std::uint64_t nEpoch, const char* pCaptured,
         const std::string& payload, const journal::TLink& link, TProperties* pProperties) noexcept;

// The first kSentPrefix bytes of the hash of document nSeq as this box sent it (the newest when it was
// sent more than once under that seq). False when the box holds none for it. Any thread.
bool SentHash(ThKestrinChain hChain, std::uint64_t nSeq, unsigned char* pPrefix) noexcept;

// "2026-12-08T23:30:02.125Z": the `captured` text of a capture time (ms since the Unix epoch, UTC).
void FormatCaptured(std::int64_t nMs, char (&text)[32]) noexcept;

}  // namespace chain
