// What the ledger knows of each wheel's feed, and the confirmation it publishes from it. Pure: the
// store feeds it what it commits and what it loads at start; nothing here does I/O.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ledger {

// Documents missing from seq 1 (where a box's numbering of a wheel begins) up to the highest stored, as
// [first, last] ranges.
class TGaps {
 public:
  // Records seq as stored; highest is the highest stored before this one (0: none yet).
  void Stored(std::uint64_t seq, std::uint64_t highest);
  void Open(std::uint64_t first, std::uint64_t last) { open_[first] = last; }
  // Seqs first..last the box skipped on purpose: no longer missing.
  void Skip(std::uint64_t first, std::uint64_t last);
  const std::map<std::uint64_t, std::uint64_t>& Open() const { return open_; }
  std::uint64_t Missing() const;

 private:
  std::map<std::uint64_t, std::uint64_t> open_;  // first -> last
};

struct TWheel {
  std::uint64_t lowest = 0, highest = 0;  // seq range stored; 0: nothing yet
  std::uint64_t stored = 0, duplicates = 0, conflicts = 0, missedGames = 0;
  std::uint64_t rejected = 0, forks = 0, skipped = 0;  // kept apart; seqs the box skipped
  std::string lastRejected;                             // the newest rejection's reason
  std::string highestBoxHash;                           // the box's H of the highest seq stored
  std::set<std::uint64_t> epochs;
  std::uint64_t newestEpoch = 0;  // of the highest seq stored
  std::int64_t latenessMs = 0;    // of the highest seq stored
  int highestGame = -1;           // game id of the highest seq stored; -1 unknown
  TGaps gaps;
  // The chain's head.
  std::uint64_t headPos = 0;
  std::string headHash;  // 32 bytes; empty before the first record
  bool changed = false;  // since the last confirmation

  // "seq" of the confirmation: every document from seq 1 up to it is stored.
  std::uint64_t Confirmed() const;
};

// Games skipped between two consecutive documents' game ids (0 to 9999, 9999 -> 0 is one step). Game
// ids that are unknown (-1) or step back (by more than half the range: a controller reset or
// reordered frames) count none.
std::uint64_t MissedGames(int gameBefore, int gameAfter);

// The confirmation's JSON object, one line, with timeMs as its "time" and the signed checkpoint (empty:
// none, no member).
std::string Confirmation(const TWheel& w, std::int64_t timeMs, const std::string& checkpoint = "");

// RFC 3339 UTC with milliseconds, "2026-12-09T01:00:00.000Z".
std::string FormatTime(std::int64_t ms);
// Accepts "YYYY-MM-DDTHH:MM:SS[.fff]Z" (or an offset "+HH:MM"); false otherwise.
bool ParseTime(const std::string& text, std::int64_t* pMs);
std::int64_t NowMs();

// What the ledger reads of a document's JSON: "game id", "phase", "win number"; -1 where absent.
struct TGameFields {
  int game = -1, phase = -1, win = -1;
};
TGameFields ReadGameFields(const std::string& payload);

}  // namespace ledger
