// The bundle: one JSON file with a wheel's documents of a seq range, the chain records that join them
// (with those kept apart at their seqs), the site's checkpoint that covers them and the keys that
// signed them. Its format, byte by byte: docs/reference/bundle.md; its verifier: ledger_bundle_verify.cpp.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "kestrin_signature.h"
#include "ledger_bundle.h"
#include "ledger_checks.h"
#include "ledger_report.h"
#include "ledger_verbs.h"

namespace ledger {
namespace {

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

struct TKeyCloser {
  void operator()(void* h) const { signature::Destroy(h); }
};
using TKey = std::unique_ptr<void, TKeyCloser>;

// One key as the bundle lists it: its role ("box" or "site"), name, vkey, key id and fingerprint.
Json::Value KeyEntry(const char* role, const std::string& name, const std::string& vkey) {
  Json::Value v(Json::objectValue);
  ThKestrinKey h = nullptr;
  if (signature::InitFromVkey(vkey.c_str(), &h) != signature::kOk) return v;
  TKey key(h);
  char id[signature::kKeyIdSize], fingerprint[signature::kFingerprintSize];
  signature::KeyId(h, id, sizeof id);
  signature::Fingerprint(h, fingerprint, sizeof fingerprint);
  v["role"] = role;
  v["name"] = name;
  v["vkey"] = vkey;
  v["keyId"] = id;
  v["fingerprint"] = fingerprint;
  return v;
}

// The keys file's keys (lines "key BOX VKEY"), by key id: box name and vkey. No file: none.
bool BoxKeys(const std::string& path, std::map<std::string, std::pair<std::string, std::string>>* pOut) {
  if (path.empty() || access(path.c_str(), F_OK) != 0) return true;
  std::ifstream in(path);
  if (!in) return Fail("cannot read " + path), false;
  std::string word, box, vkey;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    if (!(fields >> word >> box >> vkey) || word != "key") continue;
    ThKestrinKey h = nullptr;
    char id[signature::kKeyIdSize];
    if (signature::InitFromVkey(vkey.c_str(), &h) != signature::kOk) continue;
    TKey key(h);
    signature::KeyId(h, id, sizeof id);
    (*pOut)[id] = {box, vkey};
  }
  return true;
}

// The site's vkey: the first line of the file; none when there is no file.
bool ReadSiteKey(const std::string& path, std::string* pVkey) {
  if (path.empty() || access(path.c_str(), F_OK) != 0) return true;
  std::ifstream in(path);
  if (!std::getline(in, *pVkey) || pVkey->empty()) return Fail("cannot read " + path), false;
  return true;
}

// A checkpoint of the wheel as signed, and the chain head it names.
struct TNote {
  std::string text;
  THash head{};
};

// The wheel's checkpoints in the file, oldest first: the notes one after the other, each five lines of
// body, an empty line and its signature lines. With a vkey, only those whose signature verifies with it.
bool CheckpointNotes(const std::string& path, std::uint32_t wheel, const std::string& vkey, std::vector<TNote>* pOut) {
  if (path.empty() || access(path.c_str(), F_OK) != 0) return true;
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  if (!in || !(all << in.rdbuf())) return Fail("cannot read " + path), false;
  const std::string text = all.str();
  TKey site;
  ThKestrinKey h = nullptr;
  if (!vkey.empty() && signature::InitFromVkey(vkey.c_str(), &h) != signature::kOk)
    return Fail("'" + vkey + "' is not a verifier key"), false;
  site.reset(h);
  static const std::string kDash = "\xE2\x80\x94 ";
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = at;
    for (int i = 0; i < 6 && end != std::string::npos; ++i)
      if ((end = text.find('\n', end)) != std::string::npos) ++end;
    if (end == std::string::npos || text[end - 2] != '\n') break;  // a torn tail
    std::size_t next = end;
    while (text.compare(next, kDash.size(), kDash) == 0 && text.find('\n', next) != std::string::npos)
      next = text.find('\n', next) + 1;
    if (next == end) break;
    signature::TCheckpoint c;
    if (signature::ParseCheckpoint(text.data() + at, end - 1 - at, &c) != signature::kOk) break;
    const std::string note = text.substr(at, next - at), origin = c.origin;
    if (origin.substr(origin.rfind('/') + 1) == std::to_string(wheel) &&
        (!site || signature::VerifyNote(site.get(), note.data(), note.size(), nullptr) == signature::kOk)) {
      TNote n;
      n.text = note;
      std::copy(std::begin(c.head), std::end(c.head), n.head.begin());
      pOut->push_back(std::move(n));
    }
    at = next;
  }
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

}  // namespace

Json::Value BundleMembers(const TRecord& r) {
  Json::Value v(Json::objectValue);
  v["seq"] = Json::UInt64(r.seq);
  v["epoch"] = Json::UInt64(r.epoch);
  v["captured"] = EncodeText(r.captured);
  v["arrived"] = FormatTime(r.arrivedMs);
  v["replayed"] = r.replayed ? 1 : 0;
  v["payload"] = Hex(r.payload);
  const std::pair<const char*, const std::string*> texts[] = {
      {"kind", &r.kind}, {"note", &r.note}, {"docprev", &r.prev}, {"key", &r.key}, {"sig", &r.sig}};
  for (const auto& [member, text] : texts)
    if (!text->empty()) v[member] = EncodeText(*text);
  return v;
}

TSelection SelectionOf(const TRange& range) {
  TSelection s;
  s.by = range.bySeq ? TSelection::kBySeq : TSelection::kByArrival;
  s.fromSeq = range.fromSeq;
  s.toSeq = range.toSeq;
  s.fromMs = range.fromMs;
  s.toMs = range.toMs;
  return s;
}

int ExportBundle(const std::string& database, std::uint32_t wheel, const TSelection& sel, const std::string& output,
                 const TSources& sources) {
  TStoreGuard store = OpenChecked(database);
  if (!store) return kExitError;
  const std::string name = "wheel " + std::to_string(wheel);
  std::vector<TBrief> briefs;
  if (!LoadBriefs(store.get(), wheel, &briefs)) return Fail(StoreError(store.get()));
  if (briefs.empty()) return Fail(name + ": no records");
  std::uint64_t from = 0, to = 0;
  std::string asked, whyNot;
  if (!SeqRange(briefs, sel, &from, &to, &asked, &whyNot)) return Fail(name + ": " + whyNot);
  std::vector<TApart> apart;
  if (!StoreApart(store.get(), wheel, &apart)) return Fail(StoreError(store.get()));

  // The chain records from the first that holds a seq of the range (a document, or one kept apart) to
  // the last: records stored meanwhile (a replay of other seqs) keep the chain whole.
  std::uint64_t firstPos = UINT64_MAX, lastPos = 0;
  std::set<std::uint64_t> seqs;
  auto take = [&](std::uint64_t pos) { firstPos = std::min(firstPos, pos), lastPos = std::max(lastPos, pos); };
  for (const TBrief& b : briefs)
    if (b.seq >= from && b.seq <= to) take(b.pos), seqs.insert(b.seq);
  if (seqs.empty()) return Fail(name + ": no documents stored in seq " + std::to_string(from) + " to " + std::to_string(to));
  for (const TApart& a : apart)
    if (a.r.pos > 0 && a.r.seq >= from && a.r.seq <= to) take(a.r.pos);

  // The site's first checkpoint of the wheel whose head is at or after the range's last record: the
  // records run on to that head, which the site signed.
  std::vector<TNote> notes;
  std::string siteVkey;
  if (!ReadSiteKey(sources.siteKey, &siteVkey) || !CheckpointNotes(sources.checkpoints, wheel, siteVkey, &notes))
    return kExitError;
  const TNote* covering = nullptr;
  if (!notes.empty()) {
    std::uint64_t headPos = 0;
    const bool walked = StoreWalk(store.get(), wheel, lastPos, UINT64_MAX, [&](const TStoredRecord& rec) {
      for (const TNote& n : notes)
        if (n.head == rec.hash) covering = &n, headPos = rec.r.pos;
      return covering == nullptr;
    });
    if (!walked && !covering && !StoreError(store.get()).empty()) return Fail(StoreError(store.get()));
    if (covering) lastPos = headPos;
  }

  Json::Value root(Json::objectValue);
  root["format"] = kBundleFormat;
  root["made"] = FormatTime(NowMs());
  root["wheel"] = wheel;
  root["from"] = Json::UInt64(from);
  root["to"] = Json::UInt64(to);
  root["asked"] = asked;
  if (sel.by == TSelection::kByGame) root["game"] = sel.game;
  // Conflicts a ledger before signatures kept outside the chain; later ones are records of it.
  Json::Value outside(Json::arrayValue);
  for (const TApart& a : apart)
    if (a.r.pos == 0 && seqs.count(a.r.seq)) outside.append(BundleMembers(a.r));
  root["conflicts"] = outside;
  root["checkpoints"] = Json::Value(Json::arrayValue);
  if (covering) root["checkpoints"].append(covering->text);
  Json::Value keys(Json::arrayValue);
  if (covering && !siteVkey.empty())
    keys.append(KeyEntry("site", siteVkey.substr(0, siteVkey.find('+')), siteVkey));
  root["records"] = Json::Value(Json::arrayValue);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = " ";
  std::string head = Json::writeString(builder, root);
  const std::string empty = "\"records\" : []";
  const std::size_t open = head.find(empty);
  const std::size_t close = head.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return Fail("cannot write the bundle");
  // After the records: the members that follow them, then the keys, once the records have named them.
  const std::string tail = head.substr(open + empty.size(), close - open - empty.size());
  head.resize(open + empty.size() - 1);
  std::map<std::string, std::pair<std::string, std::string>> boxKeys;  // key id -> box, vkey
  if (!BoxKeys(sources.keys, &boxKeys)) return kExitError;

  // The records, a line each, written as they are read: a month of a wheel is never whole in memory.
  TOut out(output);
  bool written = out.Write(head);
  std::set<std::string> used;
  builder["indentation"] = "";
  std::uint64_t count = 0;
  THash prev{};
  const bool walked = StoreWalk(store.get(), wheel, firstPos - 1, lastPos, [&](const TStoredRecord& rec) {
    if (rec.r.pos >= firstPos) {
      Json::Value v = BundleMembers(rec.r);
      v["pos"] = Json::UInt64(rec.r.pos);
      v["prev"] = HashHex(prev);
      v["hash"] = HashHex(rec.hash);
      v["selected"] = rec.r.kind.empty() && rec.r.seq >= from && rec.r.seq <= to;
      if (!rec.r.key.empty()) used.insert(rec.r.key);
      written = written && out.Write((count++ ? ",\n  " : "\n  ") + Json::writeString(builder, v));
    }
    prev = rec.hash;
    return written;
  });
  if (!walked && written) return Fail(StoreError(store.get()));
  for (const std::string& id : used) {
    const auto k = boxKeys.find(id);
    if (k != boxKeys.end()) keys.append(KeyEntry("box", k->second.first, k->second.second));
  }
  builder["indentation"] = " ";
  std::string keysText = Json::writeString(builder, keys);
  for (std::size_t at = keysText.find('\n'); at != std::string::npos; at = keysText.find('\n', at + 2))
    keysText.insert(at + 1, " ");  // indented as a member of the root
  if (!written || !out.Write("\n ]" + tail.substr(0, tail.find_last_not_of('\n') + 1) + ",\n \"keys\" : " +
                             keysText + "\n}\n") ||
      !out.Finish())
    return Fail("cannot write " + (output.empty() ? std::string("the standard output") : output));
  if (!output.empty())
    std::printf("%s: %s, seq %llu to %llu, %llu records of the chain%s\n", output.c_str(), name.c_str(),
                static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                static_cast<unsigned long long>(count),
                covering ? ", up to the head of the site's checkpoint" : ", no checkpoint of the site's covers them");
  return kExitOk;
}

}  // namespace ledger
