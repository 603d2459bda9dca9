// What the look-up verbs (show, audit, the bundle) share: the database opened for reading once it has
// been read whole, the chain's verdict of a wheel, a document's payload decoded with the names the
// console's report gives its fields, a wheel's games and their results, and a sample's figures.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "ledger_keys.h"
#include "ledger_store.h"
#include "ledger_store_read.h"

namespace ledger {

struct TStoreCloser {
  void operator()(void* h) const { StoreDestroy(h); }
};
using TStoreGuard = std::unique_ptr<void, TStoreCloser>;

// Opens the database read-only and reads every page (StoreCheck); null, with the reason on standard
// error, when it cannot be opened or read whole.
TStoreGuard OpenChecked(const std::string& database);

// The boxes' keys file (ledger_keys.h) read, for the documents' signatures: *pOut stays null when the
// file is not there (the signatures are then not checked, and the verbs say so); false, with the
// reason on standard error, when it does not read.
struct TKeysCloser {
  void operator()(void* h) const { KeysDestroy(h); }
};
using TKeysGuard = std::unique_ptr<void, TKeysCloser>;
bool LoadKeys(const std::string& path, TKeysGuard* pOut);

// The chain of a wheel walked from record 1 to its head, each stored document's box signature checked
// with the keys (when there are keys).
struct TChainVerdict {
  std::uint64_t records = 0;  // records walked
  std::uint64_t badPos = 0;   // the first record that does not match; 0: every one does
  std::string problem;        // why, as verify says it
  THash head{};               // the hash of the last record that matched
  bool keys = false;          // the signatures were checked
  std::uint64_t signedGood = 0, unsignedDocs = 0;
  std::map<std::uint64_t, std::string> badSignatures;  // pos -> why its signature fails
};
// Checks the signatures of the records at the positions in signaturesOf (an Ed25519 check costs
// 0.15 ms: not every record of a year for one game). Calls each (when given) for every record in chain
// order; false when the database fails.
bool CheckChain(ThLedgerStore hStore, std::uint32_t wheel, ThLedgerKeys hKeys, const std::set<std::uint64_t>& signaturesOf,
                TChainVerdict* pOut, const std::function<void(const TStoredRecord&)>& each = nullptr);
// A stored document's signature verdict in words: "good (key K)", "none", "FAILS: why", "not checked".
std::string SignatureVerdict(const TChainVerdict& chain, const TRecord& r);

// The payload's members as the document names them ("game id", "phase", "win number", ...) plus
// "errors": the error flag's texts as the console's report prints them. Null when it is not JSON.
Json::Value DecodePayload(const std::string& payload);
// One line: "phase 4, win number 17, wheel speed 250 (direction 1), ...".
std::string DescribePayload(const std::string& payload);

// A game: consecutive documents (by seq) with the same game id. Its result is the winning number of
// its first document that carries one (0 to 36); -1 while none does.
struct TGameRun {
  int game = -1;
  std::uint64_t firstSeq = 0, lastSeq = 0;
  int result = -1;
  std::uint64_t resultSeq = 0;
  std::int64_t resultCapturedMs = 0;
};
// What a look-up keeps of every document of a wheel: small, so that a year of a wheel fits.
struct TBrief {
  std::uint64_t seq = 0, pos = 0, epoch = 0;
  int game = -1, win = -1;
  std::int64_t capturedMs = 0, arrivedMs = 0;  // capturedMs INT64_MIN: unreadable
  bool replayed = false;
  std::uint64_t prevSeq = 0;  // the box's prev names this seq (0: none, or the chain starts again)
};
bool LoadBriefs(ThLedgerStore hStore, std::uint32_t wheel, std::vector<TBrief>* pOut);
std::vector<TGameRun> GameRuns(const std::vector<TBrief>& briefs);  // briefs in seq order

// Median, p99 and maximum of a sample (nearest rank); zeros when it is empty.
struct TFigures {
  std::size_t n = 0;
  std::int64_t median = 0, p99 = 0, max = 0;
};
TFigures Figures(std::vector<std::int64_t> sample);

std::int64_t CapturedMs(const std::string& captured);  // INT64_MIN when it is not an RFC 3339 time
std::string Plural(std::uint64_t n, const char* one, const char* many);

}  // namespace ledger

namespace ledger {
// The runs of game id `game`; with atMs given (not INT64_MIN), only the one captured nearest it.
std::vector<TGameRun> FindGame(const std::vector<TBrief>& briefs, int game, std::int64_t atMs);
// The index in briefs (seq order) of the document captured nearest atMs; briefs.size() when none.
std::size_t NearestCapture(const std::vector<TBrief>& briefs, std::int64_t atMs);
}  // namespace ledger
