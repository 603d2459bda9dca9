// The bundle: one JSON file with a wheel's documents of a seq range, the chain records that join them,
// the conflicts at their seqs and slots for the site's checkpoints and keys; and its verifier, which
// needs nothing but the file. Its format, byte by byte: docs/reference/bundle.md.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "ledger_checks.h"
#include "ledger_report.h"
#include "ledger_verbs.h"

namespace ledger {
namespace {

constexpr const char* kFormat = "kestrin-ledger-bundle/1";

int Fail(const std::string& why) {
  std::fprintf(stderr, "kestrin-ledger: %s\n", why.c_str());
  return kExitError;
}

// The seq range a selection stands for, with what was asked in words; false when nothing matches.
bool SeqRange(const std::vector<TBrief>& briefs, const TSelection& sel, std::uint64_t* pFrom, std::uint64_t* pTo,
              std::string* pAsked, std::string* pWhyNot) {
  std::uint64_t from = UINT64_MAX, to = 0;
  auto take = [&](const TBrief& b) { from = std::min(from, b.seq), to = std::max(to, b.seq); };
  auto period = [&sel](const char* what) {
    return std::string(what) + " " + (sel.fromMs == INT64_MIN ? "from the start" : "from " + FormatTime(sel.fromMs)) +
           (sel.toMs == INT64_MAX ? " on" : " to " + FormatTime(sel.toMs));
  };
  if (sel.by == TSelection::kByGame) {
    const std::vector<TGameRun> runs = FindGame(briefs, sel.game, sel.atMs);
    if (runs.size() != 1) {
      *pWhyNot = runs.empty() ? "no document of game " + std::to_string(sel.game)
                              : "game " + std::to_string(sel.game) + " occurs " + std::to_string(runs.size()) +
                                    " times (game ids start again after 9999): --at TIME picks one";
      return false;
    }
    // One document of each neighbouring game shows where the game begins and ends.
    from = runs[0].firstSeq > 1 ? runs[0].firstSeq - 1 : 1;
    to = std::min(runs[0].lastSeq + 1, briefs.back().seq);
    *pAsked = "game " + std::to_string(sel.game) +
              (sel.atMs == INT64_MIN ? "" : ", the one captured nearest " + FormatTime(sel.atMs));
  } else if (sel.by == TSelection::kBySeq) {
    from = std::max<std::uint64_t>(sel.fromSeq, 1);
    to = std::min(sel.toSeq, briefs.back().seq);
    *pAsked = "seq " + std::to_string(from) + " to " + std::to_string(to);
    if (from > to) from = UINT64_MAX;
  } else {
    const bool byArrival = sel.by == TSelection::kByArrival;
    for (const TBrief& b : briefs) {
      const std::int64_t at = byArrival ? b.arrivedMs : b.capturedMs;
      if (at != INT64_MIN && at >= sel.fromMs && at <= sel.toMs) take(b);
    }
    *pAsked = period(byArrival ? "arrived" : "captured");
  }
  if (from == UINT64_MAX) {
    if (pWhyNot->empty()) *pWhyNot = "no documents: " + *pAsked;
    return false;
  }
  *pFrom = from;
  *pTo = to;
  return true;
}

// Where the bundle goes: standard output, or a temporary file beside the output, synced and renamed
// over it once whole (removed on failure).
class TOut {
 public:
  explicit TOut(const std::string& output) : output_(output), temporary_(output + ".part") {
    f_ = output.empty() ? stdout : std::fopen(temporary_.c_str(), "wb");
  }
  ~TOut() {
    if (f_ && f_ != stdout) std::fclose(f_), std::remove(temporary_.c_str());
  }
  bool Write(const std::string& text) { return f_ && std::fwrite(text.data(), 1, text.size(), f_) == text.size(); }
  bool Finish() {
    if (!f_ || std::fflush(f_) != 0) return false;
    if (f_ == stdout) return true;
    const bool ok = fsync(fileno(f_)) == 0;
    std::fclose(f_);
    f_ = nullptr;
    return ok && std::rename(temporary_.c_str(), output_.c_str()) == 0;
  }

 private:
  std::string output_, temporary_;
  std::FILE* f_ = nullptr;
};

Json::Value Stored(const TRecord& r) {
  Json::Value v(Json::objectValue);
  v["seq"] = Json::UInt64(r.seq);
  v["epoch"] = Json::UInt64(r.epoch);
  v["captured"] = EncodeText(r.captured);
  v["arrived"] = FormatTime(r.arrivedMs);
  v["replayed"] = r.replayed ? 1 : 0;
  v["payload"] = Hex(r.payload);
  return v;
}

// A JSON integer from 0 (not a boolean, not a number with a fraction or an exponent's point).
bool IsCount(const Json::Value& v) {
  return v.type() == Json::uintValue || (v.type() == Json::intValue && v.asInt64() >= 0);
}

// A bundle's record read back, strictly: the text the exporter writes and nothing else.
bool ReadRecord(const Json::Value& v, std::uint32_t wheel, TRecord* pR, THash* pPrev, THash* pHash) {
  auto count = [&v](const char* key, std::uint64_t* pOut) {
    return IsCount(v[key]) && (*pOut = v[key].asUInt64(), true);
  };
  std::uint64_t replayed = 2;
  pR->wheel = wheel;
  return v.isObject() && count("pos", &pR->pos) && count("seq", &pR->seq) && count("epoch", &pR->epoch) &&
         count("replayed", &replayed) && replayed <= 1 && (pR->replayed = replayed == 1, true) &&
         v["captured"].isString() && DecodeText(v["captured"].asString(), &pR->captured) &&
         v["arrived"].isString() && ParseTime(v["arrived"].asString(), &pR->arrivedMs) && pR->arrivedMs >= 0 &&
         FormatTime(pR->arrivedMs) == v["arrived"].asString() && v["payload"].isString() &&
         FromHex(v["payload"].asString(), &pR->payload) && v["prev"].isString() &&
         HashFromHex(v["prev"].asString(), pPrev) && v["hash"].isString() && HashFromHex(v["hash"].asString(), pHash);
}

}  // namespace

TSelection SelectionOf(const TRange& range) {
  TSelection s;
  s.by = range.bySeq ? TSelection::kBySeq : TSelection::kByArrival;
  s.fromSeq = range.fromSeq;
  s.toSeq = range.toSeq;
  s.fromMs = range.fromMs;
  s.toMs = range.toMs;
  return s;
}

int ExportBundle(const std::string& database, std::uint32_t wheel, const TSelection& sel, const std::string& output) {
  TStoreGuard store = OpenChecked(database);
  if (!store) return kExitError;
  const std::string name = "wheel " + std::to_string(wheel);
  std::vector<TBrief> briefs;
  if (!LoadBriefs(store.get(), wheel, &briefs)) return Fail(StoreError(store.get()));
  if (briefs.empty()) return Fail(name + ": no records");
  std::uint64_t from = 0, to = 0;
  std::string asked, whyNot;
  if (!SeqRange(briefs, sel, &from, &to, &asked, &whyNot)) return Fail(name + ": " + whyNot);

  // The chain records from the first that holds a seq of the range to the last: records stored
  // meanwhile (a replay of other seqs) keep the chain whole.
  std::uint64_t firstPos = UINT64_MAX, lastPos = 0;
  std::set<std::uint64_t> seqs;
  for (const TBrief& b : briefs)
    if (b.seq >= from && b.seq <= to) firstPos = std::min(firstPos, b.pos), lastPos = std::max(lastPos, b.pos), seqs.insert(b.seq);
  if (seqs.empty()) return Fail(name + ": no documents stored in seq " + std::to_string(from) + " to " + std::to_string(to));
  std::vector<TConflict> conflicts;
  if (!StoreConflicts(store.get(), wheel, &conflicts)) return Fail(StoreError(store.get()));

  Json::Value root(Json::objectValue);
  root["format"] = kFormat;
  root["made"] = FormatTime(NowMs());
  root["wheel"] = wheel;
  root["from"] = Json::UInt64(from);
  root["to"] = Json::UInt64(to);
  root["asked"] = asked;
  if (sel.by == TSelection::kByGame) root["game"] = sel.game;
  Json::Value other(Json::arrayValue);
  for (const TConflict& c : conflicts) {
    if (!seqs.count(c.seq)) continue;
    TRecord r;
    r.seq = c.seq, r.epoch = c.epoch, r.captured = c.captured, r.arrivedMs = c.arrivedMs, r.replayed = c.replayed;
    r.payload = c.payload;
    other.append(Stored(r));
  }
  root["conflicts"] = other;
  // Filled once the site signs its checkpoints and the boxes their documents.
  root["checkpoints"] = Json::Value(Json::arrayValue);
  root["keys"] = Json::Value(Json::arrayValue);
  root["records"] = Json::Value(Json::arrayValue);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = " ";
  std::string head = Json::writeString(builder, root);
  // The records, a line each, written as they are read: a month of a wheel is never whole in memory.
  const std::string empty = "\"records\" : []";
  const std::size_t open = head.find(empty);
  if (open == std::string::npos) return Fail("cannot write the bundle");
  const std::string tail = head.substr(open + empty.size()) + "\n";
  head.resize(open + empty.size() - 1);
  builder["indentation"] = "";
  TOut out(output);
  bool written = out.Write(head);
  std::uint64_t count = 0;
  THash prev{};
  const bool walked = StoreWalk(store.get(), wheel, firstPos - 1, lastPos, [&](const TStoredRecord& rec) {
    if (rec.r.pos >= firstPos) {
      Json::Value v = Stored(rec.r);
      v["pos"] = Json::UInt64(rec.r.pos);
      v["prev"] = HashHex(prev);
      v["hash"] = HashHex(rec.hash);
      v["selected"] = rec.r.seq >= from && rec.r.seq <= to;
      written = written && out.Write((count++ ? ",\n  " : "\n  ") + Json::writeString(builder, v));
    }
    prev = rec.hash;
    return written;
  });
  if (!walked && written) return Fail(StoreError(store.get()));
  if (!written || !out.Write("\n ]" + tail) || !out.Finish())
    return Fail("cannot write " + (output.empty() ? std::string("the standard output") : output));
  if (!output.empty())
    std::printf("%s: %s, seq %llu to %llu, %llu records of the chain\n", output.c_str(), name.c_str(),
                static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                static_cast<unsigned long long>(count));
  return kExitOk;
}

static int VerifyBundleOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);  // RFC 8259, as any reader takes it
  builder["rejectDupKeys"] = true;
  Json::Value root;
  std::string errors;
  auto unreadable = [&path](const std::string& why) {
    std::printf("unreadable: %s\n", why.c_str());
    std::fprintf(stderr, "kestrin-ledger: %s: %s\n", path.c_str(), why.c_str());
    return kExitError;
  };
  if (!in) return unreadable("cannot read the file");
  if (!Json::parseFromStream(builder, in, &root, &errors) || !root.isObject())
    return unreadable("not JSON, or cut short");
  const Json::Value& list = root["records"];
  if (!IsCount(root["wheel"]) || root["wheel"].asUInt64() > UINT32_MAX || !list.isArray() || list.empty())
    return unreadable("no \"wheel\" or no \"records\"");
  const std::uint32_t wheel = root["wheel"].asUInt();
  std::vector<TRecord> rows(list.size());
  std::vector<THash> prevs(list.size()), hashes(list.size());
  for (Json::ArrayIndex i = 0; i < list.size(); ++i)
    if (!ReadRecord(list[i], wheel, &rows[i], &prevs[i], &hashes[i]))
      return unreadable("record " + std::to_string(i + 1) + " of the file is not a ledger record");
  // Older exports name no range: theirs is the records marked selected.
  const bool legacy = !root.isMember("from");
  std::uint64_t from = UINT64_MAX, to = 0;
  if (legacy) {
    for (Json::ArrayIndex i = 0; i < list.size(); ++i)
      if (!list[i].isMember("selected") || (list[i]["selected"].isBool() && list[i]["selected"].asBool()))
        from = std::min(from, rows[i].seq), to = std::max(to, rows[i].seq);
  } else if (!IsCount(root["from"]) || !IsCount(root["to"]) || root["from"].asUInt64() > root["to"].asUInt64() ||
             root["from"].asUInt64() == 0 ||
             (root.isMember("game") && (!IsCount(root["game"]) || root["game"].asUInt64() > 9999))) {
    return unreadable("\"from\", \"to\" or \"game\" is not a seq range or a game id");
  } else {
    from = root["from"].asUInt64();
    to = root["to"].asUInt64();
  }

  for (std::size_t i = 0; i < rows.size(); ++i) {
    THash hash{};
    std::string why;
    if (i > 0 && rows[i].pos != rows[i - 1].pos + 1)
      why = "it does not follow record " + std::to_string(rows[i - 1].pos) + ": a record between is missing";
    else if (i > 0 && prevs[i] != hashes[i - 1])
      why = "its previous hash is not the hash of the record before it";
    else if (!RecordHash(prevs[i], rows[i], &hash) || hash != hashes[i])
      why = "it does not match its hash: it was changed";
    if (!why.empty()) {
      std::printf("altered: record %llu\n%s: wheel %u: record %llu (seq %llu): %s\n",
                  static_cast<unsigned long long>(rows[i].pos), path.c_str(), wheel,
                  static_cast<unsigned long long>(rows[i].pos), static_cast<unsigned long long>(rows[i].seq),
                  why.c_str());
      return kExitFound;
    }
  }
  std::set<std::uint64_t> present;
  for (const TRecord& r : rows) present.insert(r.seq);
  for (std::uint64_t seq = from; seq <= to && from != UINT64_MAX; ++seq) {
    if (present.count(seq)) continue;
    const auto next = present.upper_bound(seq);
    const std::uint64_t last = next == present.end() || *next > to ? to : *next - 1;
    std::printf("incomplete: seq %llu to %llu missing\n%s: wheel %u: the file should hold every document from seq "
                "%llu to %llu\n",
                static_cast<unsigned long long>(seq), static_cast<unsigned long long>(last), path.c_str(), wheel,
                static_cast<unsigned long long>(from), static_cast<unsigned long long>(to));
    return kExitFound;
  }
  if (from == UINT64_MAX) {
    std::printf("incomplete: no record in the range\n");
    return kExitFound;
  }

  std::string game;
  if (root.isMember("game")) {
    // The game's documents, each side bounded by a document of another game (or seq 1).
    const int id = root["game"].asInt();
    std::vector<const TRecord*> bySeq;
    for (const TRecord& r : rows)
      if (r.seq >= from && r.seq <= to) bySeq.push_back(&r);
    std::stable_sort(bySeq.begin(), bySeq.end(), [](const TRecord* a, const TRecord* b) { return a->seq < b->seq; });
    std::vector<TGameFields> fields;
    for (const TRecord* r : bySeq) fields.push_back(ReadGameFields(r->payload));
    std::size_t a = 0, b = fields.size();
    while (a < fields.size() && fields[a].game != id) ++a;
    while (b > a && fields[b - 1].game != id) --b;
    std::string why;
    if (a == b) why = "no document of game " + std::to_string(id);
    for (std::size_t k = a; k < b && why.empty(); ++k)
      if (fields[k].game != id) why = "game " + std::to_string(id) + " is interrupted at seq " + std::to_string(bySeq[k]->seq);
    if (why.empty() && a == 0 && bySeq[a]->seq != 1)
      why = "game " + std::to_string(id) + " may begin before seq " + std::to_string(bySeq[a]->seq);
    if (why.empty() && b == fields.size())
      why = "game " + std::to_string(id) + " may go on after seq " + std::to_string(bySeq[b - 1]->seq);
    if (!why.empty()) {
      std::printf("incomplete: %s\n", why.c_str());
      return kExitFound;
    }
    int result = -1;
    for (std::size_t k = a; k < b && result < 0; ++k)
      if (fields[k].win >= 0 && fields[k].win <= 36) result = fields[k].win;
    const std::uint64_t first = bySeq[a]->seq, last = bySeq[b - 1]->seq;
    game = ", game " + std::to_string(id) + " at seq " + std::to_string(first) + " to " + std::to_string(last) +
           ", result " + (result >= 0 ? std::to_string(result) : std::string("none"));
  }

  std::printf("proved: wheel %u, seq %llu to %llu%s\n", wheel, static_cast<unsigned long long>(from),
              static_cast<unsigned long long>(to), game.c_str());
  std::printf("%s: every document of wheel %u from seq %llu to %llu is in the file, each unaltered since the "
              "ledger chained it: records %llu to %llu of the wheel's chain, which follow hash %s and end with "
              "hash %s.\n",
              path.c_str(), wheel, static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
              static_cast<unsigned long long>(rows.front().pos), static_cast<unsigned long long>(rows.back().pos),
              HashHex(prevs.front()).c_str(), HashHex(hashes.back()).c_str());
  if (!game.empty())
    std::printf("The game's result is the winning number of its first document that carries one; the documents "
                "just before and after it belong to other games, so none of the game's is left out.\n");
  const Json::Value& conflicts = root["conflicts"];
  for (Json::ArrayIndex i = 0; conflicts.isArray() && i < conflicts.size(); ++i) {
    TRecord c;
    THash none{};
    Json::Value v = conflicts[i];
    if (!v.isObject()) continue;
    v["pos"] = 0, v["prev"] = HashHex(none), v["hash"] = HashHex(none);
    if (ReadRecord(v, wheel, &c, &none, &none))
      std::printf("Conflict (not in the chain, so not proven by it): seq %llu also arrived %s with other bytes: "
                  "%s.\n",
                  static_cast<unsigned long long>(c.seq), FormatTime(c.arrivedMs).c_str(),
                  DescribePayload(c.payload).c_str());
  }
  std::printf("What the file cannot prove alone: that hash %s is the head of the site's chain (compare it with a "
              "head you hold: the site's `kestrin-ledger verify`, a later bundle's records), and that the box "
              "sent these documents: %s.\n",
              HashHex(hashes.back()).substr(0, 16).c_str(),
              root["checkpoints"].isArray() && !root["checkpoints"].empty()
                  ? "the checkpoints are not checked by this version"
                  : "the file holds no box signatures and no site checkpoints (present when the site signs)");
  return kExitOk;
}

int VerifyBundle(const std::string& path) {
  try {
    return VerifyBundleOf(path);
  } catch (const std::exception& e) {
    std::printf("unreadable: %s\n", e.what());
    return kExitError;
  }
}

}  // namespace ledger
