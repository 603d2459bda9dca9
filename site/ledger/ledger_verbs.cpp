#include "ledger_verbs.h"

#include <json/json.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include <unistd.h>

#include <iterator>
#include <map>
#include <set>

#include "ledger_chain.h"
#include "ledger_checkpoint.h"
#include "ledger_checks.h"
#include "ledger_report.h"
#include "ledger_keys.h"
#include "ledger_stats.h"

namespace ledger {
namespace {

// Every verb reads the database whole first: a damaged page is a failure, never "no records".
TStoreGuard OpenRead(const std::string& database) { return OpenChecked(database); }

// A listing that failed half-way reads as fewer wheels: the store's error says so.
bool ListFailed(ThLedgerStore store) {
  if (StoreError(store).empty()) return false;
  std::fprintf(stderr, "kestrin-ledger: %s\n", StoreError(store).c_str());
  return true;
}

std::vector<std::uint32_t> WheelsOf(ThLedgerStore store, int wheel) {
  if (wheel >= 0) return {static_cast<std::uint32_t>(wheel)};
  return StoreWheelList(store);
}

// The columns, the first 11 those of an export before signatures (still read).
const char* kColumns = "wheel,pos,seq,epoch,captured,arrived,replayed,payload,prev,hash,selected,kind,note,docprev,key,sig";
constexpr std::size_t kOldColumns = 72;  // "wheel,...,selected"

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// Splits one CSV line (RFC 4180 quoting, no line breaks inside fields).
bool CsvSplit(const std::string& line, std::vector<std::string>* pFields) {
  pFields->assign(1, "");
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        pFields->back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        pFields->back() += c;
      }
    } else if (c == '"' && pFields->back().empty()) {
      quoted = true;
    } else if (c == ',') {
      pFields->emplace_back();
    } else if (c != '\r') {
      pFields->back() += c;
    }
  }
  return !quoted;
}

// One record of an exported file, with the hashes it claims.
struct TExported {
  TRecord r;
  THash prev{}, hash{};
};

bool Unsigned(const std::string& text, std::uint64_t* pOut) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *pOut = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool FromFields(const std::vector<std::string>& f, TExported* pOut) {
  std::uint64_t wheel, replayed;
  if (f.size() == 16) {
    pOut->r.kind = f[11];
    pOut->r.note = f[12];
    pOut->r.prev = f[13];
    pOut->r.key = f[14];
    pOut->r.sig = f[15];
  }
  return (f.size() == 11 || f.size() == 16) && Unsigned(f[0], &wheel) && (pOut->r.wheel = static_cast<std::uint32_t>(wheel), true) &&
         Unsigned(f[1], &pOut->r.pos) && Unsigned(f[2], &pOut->r.seq) && Unsigned(f[3], &pOut->r.epoch) &&
         DecodeText(f[4], &pOut->r.captured) && ParseTime(f[5], &pOut->r.arrivedMs) && Unsigned(f[6], &replayed) &&
         (pOut->r.replayed = replayed != 0, true) && FromHex(f[7], &pOut->r.payload) &&
         HashFromHex(f[8], &pOut->prev) && HashFromHex(f[9], &pOut->hash);
}

bool ReadCsv(std::istream& in, std::vector<TExported>* pRows, std::string* pError) {
  std::string line;
  if (!std::getline(in, line) || line.compare(0, kOldColumns, kColumns, kOldColumns) != 0) {
    *pError = "not a ledger export: the first line is not the columns' line";
    return false;
  }
  std::vector<std::string> fields;
  bool ended = false;
  for (int n = 2; std::getline(in, line); ++n) {
    if (line.empty()) continue;
    // The closing line "end,N": a file cut at a line's end lacks it.
    if (!ended && CsvSplit(line, &fields) && fields.size() == 2 && fields[0] == "end") {
      std::uint64_t count = 0;
      ended = Unsigned(fields[1], &count) && count == pRows->size();
      if (!ended) {
        *pError = "line " + std::to_string(n) + ": the end line does not count the records before it";
        return false;
      }
      continue;
    }
    TExported row;
    if (ended) {
      *pError = "line " + std::to_string(n) + " follows the end line";
      return false;
    }
    if (!CsvSplit(line, &fields) || !FromFields(fields, &row)) {
      *pError = "line " + std::to_string(n) + " is not a ledger record";
      return false;
    }
    pRows->push_back(std::move(row));
  }
  if (!ended) *pError = "the file is cut short: it has no end line";
  return ended;
}

std::string Describe(const TRecord& r) {
  return "record " + std::to_string(r.pos) + " (seq " + std::to_string(r.seq) + ", stored " +
         FormatTime(r.arrivedMs) + ")";
}

}  // namespace

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

bool FromHex(const std::string& hex, std::string* pBytes) {
  if (hex.size() % 2) return false;
  pBytes->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = hex[i + k];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    pBytes->push_back(static_cast<char>(value));
  }
  return true;
}

std::string EncodeText(const std::string& bytes) {
  bool plain = bytes.rfind("hex:", 0) != 0;
  for (unsigned char c : bytes) plain = plain && c >= 0x20 && c < 0x7f;
  return plain ? bytes : "hex:" + Hex(bytes);
}

bool DecodeText(const std::string& text, std::string* pBytes) {
  if (text.rfind("hex:", 0) == 0) return FromHex(text.substr(4), pBytes);
  *pBytes = text;
  return true;
}

namespace {

// The first line of a file, "" when it cannot be read.
std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// One wheel's chain walked: hashes, signatures, links; the figures verify reports. "" when it matches.
struct TWalked {
  std::uint64_t count = 0, unsigned_ = 0, apart = 0;
  THash head{};
  std::set<std::string> hashes;                      // every record's, to find a checkpoint's head
  std::map<std::uint64_t, std::vector<THash>> boxHashes;  // seq -> H of the documents (and forks) there
  std::vector<std::pair<std::uint64_t, std::string>> links;  // seq, prev of each signed document
  std::map<std::uint64_t, int> games;                        // seq -> game id of each document
  std::string problem;
};

TWalked Walk(ThLedgerStore store, ThLedgerKeys keys, std::uint32_t w, bool* pWalked) {
  TWalked t;
  std::uint64_t expected = 1;
  bool signedSeen = false;
  *pWalked = StoreWalk(store, w, 1, UINT64_MAX, [&](const TStoredRecord& rec) {
    THash hash{};
    if (rec.r.pos != expected)
      t.problem = Describe(rec.r) + " does not match: the chain's record " + std::to_string(expected) +
                  (rec.r.pos > expected ? " before it is missing" : " is there twice");
    else if (!RecordHash(t.head, rec.r, &hash) || hash != rec.hash)
      t.problem = Describe(rec.r) + " does not match its hash: it was changed, or a record was put before it";
    if (!t.problem.empty()) return false;
    t.head = rec.hash;
    t.hashes.insert(std::string(rec.hash.begin(), rec.hash.end()));
    ++expected;
    ++t.count;
    if (!rec.r.kind.empty()) ++t.apart;
    if (!rec.r.kind.empty() && rec.r.kind != "fork") return true;
    if (rec.r.kind == "fork" && rec.r.payload.empty()) return true;
    if (rec.r.kind.empty()) t.games[rec.r.seq] = ReadGameFields(rec.r.payload).game;
    THash h{};
    if (DocumentHash(w, rec.r.seq, rec.r.epoch, rec.r.captured, rec.r.prev, rec.r.payload, &h))
      t.boxHashes[rec.r.seq].push_back(h);
    if (rec.r.sig.empty() && rec.r.key.empty()) {
      // Stored before the ledger checked signatures; after a signed one, put there by hand.
      ++t.unsigned_;
      if (signedSeen) t.problem = Describe(rec.r) + " has no box signature, after signed documents";
      return t.problem.empty();
    }
    signedSeen = true;
    if (keys) {
      TIncoming doc;
      doc.wheel = w;
      doc.seq = rec.r.seq;
      doc.epoch = rec.r.epoch;
      doc.captured = rec.r.captured;
      doc.payload = rec.r.payload;
      doc.prev = rec.r.prev;
      doc.key = rec.r.key;
      doc.sig = rec.r.sig;
      const std::string why = KeysCheck(keys, doc, true);
      if (!why.empty()) t.problem = Describe(rec.r) + " is not its box's: " + why;
    }
    t.links.emplace_back(rec.r.seq, rec.r.prev);
    return t.problem.empty();
  });
  // Each signed document names the box's hash of the document at its prevseq, where one is stored.
  for (const auto& [seq, prev] : t.links) {
    if (!t.problem.empty()) break;
    std::uint64_t prevSeq;
    THash named;
    if (!ReadPrev(prev, &prevSeq, &named)) {
      t.problem = "seq " + std::to_string(seq) + ": its prev does not read";
      break;
    }
    const auto there = t.boxHashes.find(prevSeq);
    if (prevSeq == 0 || there == t.boxHashes.end()) continue;
    bool found = false;
    for (const THash& h : there->second) found = found || h == named;
    if (!found)
      t.problem = "seq " + std::to_string(seq) + " does not follow the document stored at seq " +
                  std::to_string(prevSeq) + ": it names another (the document at seq " + std::to_string(prevSeq) +
                  " was changed)";
  }
  return t;
}

}  // namespace

int Verify(const std::string& database, int wheel, const std::string& keysPath, const std::string& checkpointsPath,
           const std::string& siteKey) {
  TStoreGuard store = OpenRead(database);
  if (!store) return kExitError;
  std::string error;
  std::unique_ptr<void, void (*)(void*)> keys(nullptr, KeysDestroy);
  if (!keysPath.empty() && access(keysPath.c_str(), F_OK) == 0) {
    keys.reset(KeysInit(keysPath.c_str(), &error));
    if (!keys) {
      std::fprintf(stderr, "kestrin-ledger: %s\n", error.c_str());
      return kExitError;
    }
  } else {
    std::printf("no keys file%s: the documents' signatures are not checked\n",
                keysPath.empty() ? "" : (" " + keysPath).c_str());
  }
  std::map<std::uint32_t, TCheckpointSeen> seen;
  std::uint64_t badNotes = 0;
  if (!checkpointsPath.empty() && access(checkpointsPath.c_str(), F_OK) == 0) {
    const std::string vkey = siteKey.empty() ? "" : FirstLine(siteKey);
    if (!siteKey.empty() && vkey.empty()) {
      std::fprintf(stderr, "kestrin-ledger: cannot read %s\n", siteKey.c_str());
      return kExitError;
    }
    if (!CheckpointsRead(checkpointsPath.c_str(), vkey, &seen, &badNotes, &error)) {
      std::fprintf(stderr, "kestrin-ledger: %s\n", error.c_str());
      return kExitError;
    }
    if (vkey.empty()) std::printf("no --site-key: the checkpoints' signatures are not checked\n");
  } else {
    std::printf("no checkpoint file%s: the newest records are not checked\n",
                checkpointsPath.empty() ? "" : (" " + checkpointsPath).c_str());
  }
  int status = kExitOk;
  if (badNotes > 0) {
    std::printf("%s: %llu checkpoints whose signature does not verify with the site's key\n", checkpointsPath.c_str(),
                static_cast<unsigned long long>(badNotes));
    status = kExitFound;
  }
  std::set<std::uint32_t> wheels;
  for (std::uint32_t w : WheelsOf(store.get(), wheel)) wheels.insert(w);
  if (ListFailed(store.get())) return kExitError;
  for (const auto& [w, c] : seen)
    if (wheel < 0 || static_cast<int>(w) == wheel) wheels.insert(w);
  if (wheels.empty()) std::printf("no records\n");
  auto& figures = *StoreWheels(store.get());
  for (std::uint32_t w : wheels) {
    bool walked = true;
    TWalked t = Walk(store.get(), keys.get(), w, &walked);
    // The missed games the confirmations count (kept beside the chain) are what its documents give.
    if (t.problem.empty() && walked && figures.count(w)) {
      std::uint64_t missed = 0;
      for (auto it = t.games.begin(); it != t.games.end(); ++it) {
        const auto next = std::next(it);
        if (next != t.games.end() && next->first == it->first + 1) missed += MissedGames(it->second, next->second);
      }
      if (missed != figures[w].missedGames)
        t.problem = "the count of missed games (" + std::to_string(figures[w].missedGames) +
                    ") is not what the chain's documents give (" + std::to_string(missed) + ")";
    }
    if (t.problem.empty() && walked && seen.count(w)) {
      // The newest checkpoint: the documents up to its N, document N's box hash, its head in the chain.
      const TCheckpointSeen& c = seen[w];
      const std::string when = FormatTime(c.timeMs);
      THash h{};
      const std::uint64_t complete = figures.count(w) ? figures[w].Confirmed() : 0;
      if (complete < c.size)
        t.problem = "the checkpoint of " + when + " states every document up to seq " + std::to_string(c.size) +
                    " stored; the database has them up to " + std::to_string(complete) +
                    ": records were removed";
      else if (c.size > 0 && (!StoreBoxHash(store.get(), w, c.size, &h) || h != c.boxHash))
        t.problem = "the checkpoint of " + when + " names another document at seq " + std::to_string(c.size) +
                    " than the one stored";
      else if (c.size > 0 && !t.hashes.count(std::string(c.head.begin(), c.head.end())))
        t.problem = "the checkpoint of " + when + " names a chain head (" + HashHex(c.head).substr(0, 16) +
                    "...) that is no record of the chain: records were removed or rewritten";
    }
    if (!t.problem.empty()) {
      std::printf("wheel %u: %s\n", w, t.problem.c_str());
      status = kExitFound;
    } else if (!walked) {
      std::fprintf(stderr, "kestrin-ledger: wheel %u: %s\n", w, StoreError(store.get()).c_str());
      return kExitError;
    } else if (t.count == 0) {
      std::fprintf(stderr, "kestrin-ledger: wheel %u: no records\n", w);
      return kExitError;
    } else {
      std::string extra;
      if (t.apart) extra += ", " + std::to_string(t.apart) + " of them kept apart";
      if (t.unsigned_) extra += ", " + std::to_string(t.unsigned_) + " documents unsigned (stored before signatures)";
      if (seen.count(w)) extra += "; its newest checkpoint (seq " + std::to_string(seen[w].size) + ", " +
                                  FormatTime(seen[w].timeMs) + ") holds";
      std::printf("wheel %u: %llu records, the chain matches%s; head %s\n", w, static_cast<unsigned long long>(t.count),
                  extra.c_str(), HashHex(t.head).c_str());
    }
  }
  return status;
}

int VerifyFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kestrin-ledger: cannot read %s\n", path.c_str());
    return kExitError;
  }
  std::vector<TExported> rows;
  std::string error;
  const int first = (in >> std::ws).peek();
  if (first == '{') return VerifyBundle(path);
  if (!ReadCsv(in, &rows, &error)) {
    std::fprintf(stderr, "kestrin-ledger: %s: %s\n", path.c_str(), error.c_str());
    return kExitError;
  }
  if (rows.empty()) {
    std::fprintf(stderr, "kestrin-ledger: %s: no records\n", path.c_str());
    return kExitError;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TExported& row = rows[i];
    std::string problem;
    THash hash{};
    if (i > 0 && (row.r.wheel != rows[i - 1].r.wheel || row.r.pos != rows[i - 1].r.pos + 1))
      problem = "does not follow record " + std::to_string(rows[i - 1].r.pos) + ": a record between is missing";
    else if (i > 0 && row.prev != rows[i - 1].hash)
      problem = "does not match: its previous hash is not the hash of the record before it";
    else if (!RecordHash(row.prev, row.r, &hash) || hash != row.hash)
      problem = "does not match its hash: it was changed";
    if (!problem.empty()) {
      std::printf("%s: wheel %u: %s %s\n", path.c_str(), row.r.wheel, Describe(row.r).c_str(), problem.c_str());
      return kExitFound;
    }
  }
  std::printf("%s: wheel %u, records %llu to %llu (%zu), the chain matches; it follows %s and ends with %s\n",
              path.c_str(), rows[0].r.wheel, static_cast<unsigned long long>(rows[0].r.pos),
              static_cast<unsigned long long>(rows.back().r.pos), rows.size(), HashHex(rows[0].prev).c_str(),
              HashHex(rows.back().hash).c_str());
  return kExitOk;
}

int Export(const std::string& database, int wheel, const TRange& range, bool json) {
  if (json) return ExportBundle(database, static_cast<std::uint32_t>(wheel), SelectionOf(range), "");
  TStoreGuard store = OpenRead(database);
  if (!store) return kExitError;
  std::uint64_t fromPos = 0, toPos = 0;
  THash prev{};
  const std::uint32_t w = static_cast<std::uint32_t>(wheel);
  if (!StoreSegment(store.get(), w, range, &fromPos, &toPos, &prev)) {
    std::fprintf(stderr, "kestrin-ledger: wheel %u: %s\n", w,
                 StoreError(store.get()).empty() ? "no records in the range asked for"
                                                 : StoreError(store.get()).c_str());
    return kExitError;
  }
  // Written once whole: a failure half-way leaves nothing that looks like an export.
  std::string out = std::string(kColumns) + "\n";
  std::uint64_t count = 0;
  char line[256];
  // The chain from the first record in the range to the last: records stored meanwhile that are
  // outside it (a replayed document of another range) keep the chain whole, marked not selected.
  const bool ok = StoreWalk(store.get(), w, fromPos, toPos, [&](const TStoredRecord& rec) {
    std::snprintf(line, sizeof line, "%u,%llu,%llu,%llu,", w, static_cast<unsigned long long>(rec.r.pos),
                  static_cast<unsigned long long>(rec.r.seq), static_cast<unsigned long long>(rec.r.epoch));
    out += line + CsvField(EncodeText(rec.r.captured)) + "," + FormatTime(rec.r.arrivedMs) + "," +
           (rec.r.replayed ? "1," : "0,") + Hex(rec.r.payload) + "," + HashHex(prev) + "," + HashHex(rec.hash) +
           (StoreSelected(range, rec.r) ? ",1," : ",0,") + rec.r.kind + "," + CsvField(rec.r.note) + "," +
           rec.r.prev + "," + rec.r.key + "," + rec.r.sig + "\n";
    prev = rec.hash;
    ++count;
    return true;
  });
  if (!ok) {
    std::fprintf(stderr, "kestrin-ledger: %s\n", StoreError(store.get()).c_str());
    return kExitError;
  }
  out += "end," + std::to_string(count) + "\n";
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0 ? kExitOk
                                                                                                 : kExitError;
}

int Gaps(const std::string& database, int wheel) {
  TStoreGuard store = OpenRead(database);
  if (!store) return kExitError;
  auto& all = *StoreWheels(store.get());
  if (ListFailed(store.get())) return kExitError;
  const auto wheels = WheelsOf(store.get(), wheel);
  if (ListFailed(store.get())) return kExitError;
  if (wheels.empty()) std::printf("no records\n");
  for (std::uint32_t w : wheels) {
    const auto it = all.find(w);
    if (it == all.end() || it->second.stored == 0) {
      std::fprintf(stderr, "kestrin-ledger: wheel %u: no records\n", w);
      return kExitError;
    }
    const TWheel& f = it->second;
    std::printf("wheel %u: seq %llu to %llu, %llu stored, complete up to %llu", w,
                static_cast<unsigned long long>(f.lowest), static_cast<unsigned long long>(f.highest),
                static_cast<unsigned long long>(f.stored), static_cast<unsigned long long>(f.Confirmed()));
    if (f.gaps.Open().empty()) {
      std::printf(", no gaps\n");
      continue;
    }
    std::printf(", %llu missing:", static_cast<unsigned long long>(f.gaps.Missing()));
    for (const auto& [first, last] : f.gaps.Open()) {
      if (first == last)
        std::printf(" %llu", static_cast<unsigned long long>(first));
      else
        std::printf(" %llu-%llu", static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
    }
    std::printf("\n");
  }
  return kExitOk;
}

int Stats(const std::string& database, int wheel, int games) {
  TStoreGuard store = OpenRead(database);
  if (!store) return kExitError;
  const std::vector<int> winning = StoreWinningNumbers(store.get(), static_cast<std::uint32_t>(wheel), games);
  if (!StoreError(store.get()).empty() || winning.empty()) {
    std::fprintf(stderr, "kestrin-ledger: wheel %d: %s\n", wheel,
                 winning.empty() ? "no games with a winning number" : StoreError(store.get()).c_str());
    return kExitError;
  }
  const TBias b = BiasTest(winning);
  std::printf("wheel %d: the winning numbers of the last %d games (asked for %d), from each game's first "
              "document with a winning number (phase 4 on the simulator's wheel)\n",
              wheel, b.games, games);
  for (int n = 0; n < kPockets; ++n)
    std::printf("%2d %6d%s", n, b.counts[n], n % 6 == 5 || n == kPockets - 1 ? "\n" : "    ");
  std::printf("chi-square %.2f, %d degrees of freedom, p = %.4g; flagged below p = %g (chi-square above %.2f)\n",
              b.chiSquare, kPockets - 1, b.pValue, kAlpha, b.critical);
  if (!b.enough) {
    std::printf("too few games to judge: the test needs at least %d\n", kMinGames);
    return kExitOk;
  }
  if (b.flagged) {
    std::printf("FLAGGED: the numbers deviate from a fair single-zero wheel's\n");
    return kExitFound;
  }
  std::printf("not flagged: the numbers fit a fair single-zero wheel\n");
  return kExitOk;
}

}  // namespace ledger
