// The ledger's store: one SQLite database holding every wheel's documents once, each chained to the
// wheel's previous record (ledger_chain.h), the conflicting documents beside them, and each wheel's
// counts. The ledger adds documents inside a transaction (Begin, Add, Commit); a committed document
// survives the ledger's end, and once the WAL is synced after its commit (StoreWalDescriptor,
// StoreSync), a power cut too. The verbs open the same file read-only beside a running ledger (WAL).
// One thread at a time: the caller serialises every call on a handle but StoreCheckpoint's.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ledger_chain.h"
#include "ledger_checks.h"

typedef void* ThLedgerStore;

namespace ledger {

// A document as it came from the broker.
struct TIncoming {
  std::uint32_t wheel = 0;
  std::uint64_t seq = 0;  // 0: the document carried no number
  std::uint64_t epoch = 0;
  std::string captured;
  bool replayed = false;
  std::string payload;
  std::int64_t arrivedMs = 0;
  std::string prev, key, sig;  // the box's properties as received (ledger_keys.h)
  std::string rejected;        // why its signature check failed (KeysCheck); empty: it passed
};

constexpr int kStored = 0;
constexpr int kDuplicate = 1;
constexpr int kConflict = 2;
constexpr int kFork = 3;      // kept apart: the box's new chain at a seq the ledger holds from an old one
constexpr int kRejected = 4;  // kept apart: it failed a check (doc.rejected, or its link)
constexpr int kFailed = -1;

// Opens (and with bWrite creates) the database at pPath; null on failure with the reason in *pError.
ThLedgerStore StoreInit(const char* pPath, bool bWrite, std::string* pError) noexcept;
void StoreDestroy(ThLedgerStore hInst) noexcept;
const std::string& StoreError(ThLedgerStore hInst) noexcept;

// A batch: Begin, Add each document, Commit. A failed Commit rolls the batch back and reloads the
// figures, so nothing of it counts; -1 then, 0 once it is on disk.
int StoreBegin(ThLedgerStore hInst) noexcept;
// A document whose signature check failed (doc.rejected) or whose prev names another document than the
// one stored at its prevseq is kept apart (kRejected); one of another epoch at a stored seq is a fork,
// of the same epoch a conflict. Each goes into the wheel's chain as a record of its kind
// (ledger_chain.h), never into the wheel's documents.
int StoreAdd(ThLedgerStore hInst, const TIncoming& doc) noexcept;  // kStored ... kFailed
int StoreStatus(ThLedgerStore hInst, std::uint32_t wheel, const std::string& payload,
                std::int64_t arrivedMs) noexcept;
int StoreCommit(ThLedgerStore hInst) noexcept;
// Gives the open batch up: rolled back, the figures reloaded, as a failed Commit does.
void StoreRollback(ThLedgerStore hInst) noexcept;
// Makes every commit so far durable (a transaction committed with a sync); 0 when done.
int StoreSync(ThLedgerStore hInst) noexcept;
// The WAL file (-1 before the first commit, or when it cannot be opened). Every commit returned so
// far is durable once fdatasync() of it returns: the commits write their frames there (synchronous
// NORMAL) and SQLite syncs it before each checkpoint, so syncing it needs no lock of SQLite's and
// holds up no commit.
int StoreWalDescriptor(ThLedgerStore hInst) noexcept;
// Copies what the WAL holds into the database (SQLite's passive checkpoint, with its syncs), on a
// connection of its own: any thread may call it beside the others, without the caller's lock, and no
// commit waits for it. The run loop calls it every second; nothing else checkpoints while it runs.
int StoreCheckpoint(ThLedgerStore hInst) noexcept;

// The box's hash H of the wheel's document at seq (ledger_keys.h, DocumentHash); false when none is stored.
bool StoreBoxHash(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t seq, THash* pOut) noexcept;

// Every wheel's figures as committed (and as added, inside a batch). The run loop clears `changed`.
std::map<std::uint32_t, TWheel>* StoreWheels(ThLedgerStore hInst) noexcept;

// Reading, for the verbs.
std::vector<std::uint32_t> StoreWheelList(ThLedgerStore hInst) noexcept;
struct TStoredRecord {
  TRecord r;
  THash hash{};
  bool selected = true;  // in the range asked for (an export's other rows keep its chain whole)
};
// Calls visit for the wheel's records in chain order, pos from..to; false when visit returns false or
// the database fails (StoreError says so).
bool StoreWalk(ThLedgerStore hInst, std::uint32_t wheel, std::uint64_t fromPos, std::uint64_t toPos,
               const std::function<bool(const TStoredRecord&)>& visit) noexcept;
// The chain positions that hold the documents of seq fromSeq..toSeq (bySeq) or of arrival fromMs..toMs;
// false when there are none. *pPrev: the hash before the first of them.
struct TRange {
  bool bySeq = true;
  std::uint64_t fromSeq = 0, toSeq = UINT64_MAX;
  std::int64_t fromMs = INT64_MIN, toMs = INT64_MAX;
};
bool StoreSegment(ThLedgerStore hInst, std::uint32_t wheel, const TRange& range, std::uint64_t* pFromPos,
                  std::uint64_t* pToPos, THash* pPrev) noexcept;
bool StoreSelected(const TRange& range, const TRecord& r);
// The winning numbers of the wheel's last nGames games, newest first: per game id, the first document
// that carries a winning number (0 to 36). Read from the stored payloads, which the chain covers.
std::vector<int> StoreWinningNumbers(ThLedgerStore hInst, std::uint32_t wheel, int nGames) noexcept;

}  // namespace ledger
