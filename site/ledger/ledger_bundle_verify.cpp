// verify --file on a bundle: the checks in the order docs/reference/bundle.md lays them down, each
// with the verdict line it gives; nothing but the file is read.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "kestrin_signature.h"
#include "ledger_bundle.h"
#include "ledger_checks.h"
#include "ledger_report.h"
#include "ledger_verbs.h"

namespace ledger {
namespace {

// A JSON integer from 0 (not a boolean, not a number with a fraction or an exponent's point).
bool IsCount(const Json::Value& v) {
  return v.type() == Json::uintValue || (v.type() == Json::intValue && v.asInt64() >= 0);
}

struct TKeyCloser {
  void operator()(void* h) const { signature::Destroy(h); }
};
struct TBundleKey {
  std::string name, id, fingerprint;
  std::unique_ptr<void, TKeyCloser> key;
};

// The file's keys: its boxes' by key id, the site's; false when an entry does not read.
bool ReadKeys(const Json::Value& list, std::map<std::string, TBundleKey>* pBoxes, TBundleKey* pSite) {
  for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); ++i) {
    const Json::Value& v = list[i];
    ThKestrinKey h = nullptr;
    if (!v.isObject() || !v["vkey"].isString() || !v["name"].isString() ||
        signature::InitFromVkey(v["vkey"].asCString(), &h) != signature::kOk)
      return false;
    TBundleKey k;
    k.key.reset(h);
    if (v["name"].asString() != signature::Name(h)) return false;
    char id[signature::kKeyIdSize], fingerprint[signature::kFingerprintSize];
    signature::KeyId(h, id, sizeof id);
    signature::Fingerprint(h, fingerprint, sizeof fingerprint);
    k.id = id;
    k.fingerprint = fingerprint;
    k.name = v["name"].asString();
    if (v["role"] == "site") *pSite = std::move(k);
    else if (v["role"] == "box") (*pBoxes)[id] = std::move(k);
    else return false;
  }
  return true;
}

// The box's H of a record (SHA-256 of its signed bytes M), its signature checked when its key is known:
// 1 good, 0 not checked (no key, no signature, or the key not in the file), -1 it fails.
int BoxCheck(std::uint32_t wheel, const TRecord& r, const std::map<std::string, TBundleKey>& boxes, THash* pH) {
  std::uint64_t prevSeq = 0;
  THash prevHash{};
  const std::string serial = std::to_string(wheel);
  if (!r.prev.empty() && signature::ParsePrev(r.prev.c_str(), &prevSeq, prevHash.data()) != signature::kOk) return -1;
  signature::TDocument m;
  m.pWheel = serial.c_str();
  m.nSeq = r.seq;
  m.nEpoch = r.epoch;
  m.pCaptured = r.captured.c_str();
  m.nPrevSeq = prevSeq;
  m.pPrevHash = prevHash.data();
  m.pPayload = reinterpret_cast<const unsigned char*>(r.payload.data());
  m.nPayload = r.payload.size();
  if (r.captured.find('\0') != std::string::npos || signature::Hash(m, pH->data()) != signature::kOk) return -1;
  const auto k = boxes.find(r.key);
  if (r.sig.empty() || k == boxes.end()) return 0;
  unsigned char sig[signature::kSignatureLength];
  std::size_t n = 0;
  return signature::Base64Decode(r.sig.data(), r.sig.size(), sig, sizeof sig, &n) == signature::kOk &&
                 n == sizeof sig && signature::VerifyDocument(k->second.key.get(), m, sig, nullptr) == signature::kOk
             ? 1
             : -1;
}

int Verdict(const char* line, const std::string& detail, int status) {
  std::printf("%s\n%s", line, detail.c_str());
  return status;
}

int VerifyBundleOf(const std::string& path) {
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
    if (!ReadBundleRecord(list[i], wheel, &rows[i], &prevs[i], &hashes[i]))
      return unreadable("record " + std::to_string(i + 1) + " of the file is not a ledger record");
  std::map<std::string, TBundleKey> boxes;
  TBundleKey site;
  const Json::Value& notes = root["checkpoints"];
  if ((root.isMember("keys") && !root["keys"].isArray()) || !ReadKeys(root["keys"], &boxes, &site))
    return unreadable("a key of the file is not a verifier key");
  for (Json::ArrayIndex i = 0; notes.isArray() && i < notes.size(); ++i)
    if (!notes[i].isString()) return unreadable("a checkpoint of the file is not a signed note");
  if (root.isMember("checkpoints") && !notes.isArray()) return unreadable("a checkpoint of the file is not a signed note");
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

  // The chain, record by record.
  auto altered = [&](std::size_t i, const std::string& why) {
    const std::string line = "altered: record " + std::to_string(rows[i].pos);
    return Verdict(line.c_str(),
                   path + ": wheel " + std::to_string(wheel) + ": record " + std::to_string(rows[i].pos) + " (seq " +
                       std::to_string(rows[i].seq) + "): " + why + "\n",
                   kExitFound);
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    THash hash{};
    if (i > 0 && rows[i].pos != rows[i - 1].pos + 1)
      return altered(i, "it does not follow record " + std::to_string(rows[i - 1].pos) + ": a record between is missing");
    if (i > 0 && prevs[i] != hashes[i - 1]) return altered(i, "its previous hash is not the hash of the record before it");
    if (!RecordHash(prevs[i], rows[i], &hash) || hash != hashes[i]) return altered(i, "it does not match its hash: it was changed");
  }
  // The box's signature of each document, and its link: prev names the box's H of a document at prevseq.
  std::vector<THash> boxHash(rows.size());
  std::vector<int> signedBy(rows.size(), 0);
  std::map<std::uint64_t, std::vector<THash>> hashesAt;  // seq -> H of the documents (and forks) there
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].kind.empty() && (rows[i].kind != "fork" || rows[i].payload.empty())) continue;
    // Signatures checked of the range's documents, the links of all (an Ed25519 check costs).
    const bool inRange = rows[i].kind.empty() && rows[i].seq >= from && rows[i].seq <= to;
    static const std::map<std::string, TBundleKey> kNone;
    signedBy[i] = BoxCheck(wheel, rows[i], inRange ? boxes : kNone, &boxHash[i]);
    if (rows[i].kind.empty() && signedBy[i] < 0) return altered(i, "its box signature does not verify");
    hashesAt[rows[i].seq].push_back(boxHash[i]);
  }
  std::set<std::uint64_t> present;
  std::map<std::uint64_t, std::uint64_t> skipped;  // first -> last, as the box's prev says
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].kind.empty()) continue;
    present.insert(rows[i].seq);
    std::uint64_t prevSeq = 0;
    THash named{};
    if (rows[i].prev.empty() || signature::ParsePrev(rows[i].prev.c_str(), &prevSeq, named.data()) != signature::kOk)
      continue;
    const auto there = hashesAt.find(prevSeq);
    if (there != hashesAt.end() && std::find(there->second.begin(), there->second.end(), named) == there->second.end())
      return altered(i, "its box's prev names another document at seq " + std::to_string(prevSeq) + " than the file's");
    if (prevSeq + 1 < rows[i].seq) skipped[prevSeq + 1] = rows[i].seq - 1;
  }
  // The site's checkpoints: signed by the site's key, of this wheel, naming the file's last record.
  std::string covered;
  for (Json::ArrayIndex i = 0; notes.isArray() && i < notes.size() && site.key; ++i) {
    const std::string note = notes[i].asString();
    std::size_t nBody = 0;
    signature::TCheckpoint c;
    const bool good = signature::VerifyNote(site.key.get(), note.data(), note.size(), &nBody) == signature::kOk &&
                      signature::ParseCheckpoint(note.data(), nBody, &c) == signature::kOk &&
                      std::string(c.origin).substr(std::string(c.origin).rfind('/') + 1) == std::to_string(wheel) &&
                      std::equal(std::begin(c.head), std::end(c.head), hashes.back().begin());
    const std::string line = "altered: checkpoint " + std::to_string(i + 1);
    if (!good)
      return Verdict(line.c_str(),
                     path + ": the site's checkpoint " + std::to_string(i + 1) +
                         " does not verify with its key, is of another wheel, or names another head than the "
                         "file's last record\n",
                     kExitFound);
    covered = ", covered by " + site.name + "'s checkpoint of " + FormatTime(c.nTimeMs);
  }

  // Every document of the range stored, or skipped at the box (its signed prev says so).
  for (std::uint64_t seq = from; from != UINT64_MAX && seq <= to;) {
    auto span = skipped.upper_bound(seq);
    const bool inSpan = span != skipped.begin() && (--span)->second >= seq;
    if (present.count(seq) || inSpan) {
      const std::uint64_t next = present.count(seq) ? seq : span->second;
      if (next >= to) break;
      seq = next + 1;
      continue;
    }
    // The run ends before the next seq stored or skipped.
    std::uint64_t last = to;
    const auto stored = present.upper_bound(seq);
    const auto skip = skipped.upper_bound(seq);
    if (stored != present.end()) last = std::min(last, *stored - 1);
    if (skip != skipped.end()) last = std::min(last, skip->first - 1);
    const std::string line = "incomplete: seq " + std::to_string(seq) + " to " + std::to_string(last) + " missing";
    return Verdict(line.c_str(),
                   path + ": wheel " + std::to_string(wheel) + ": the file should hold every document from seq " +
                       std::to_string(from) + " to " + std::to_string(to) + "\n",
                   kExitFound);
  }
  if (from == UINT64_MAX) return Verdict("incomplete: no record in the range", "", kExitFound);

  std::string game;
  if (root.isMember("game")) {
    // The game's documents, each side bounded by a document of another game (or seq 1).
    const int id = root["game"].asInt();
    std::vector<const TRecord*> bySeq;
    for (const TRecord& r : rows)
      if (r.kind.empty() && r.seq >= from && r.seq <= to) bySeq.push_back(&r);
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
    if (!why.empty()) return Verdict(("incomplete: " + why).c_str(), "", kExitFound);
    int result = -1;
    for (std::size_t k = a; k < b && result < 0; ++k)
      if (fields[k].win >= 0 && fields[k].win <= 36) result = fields[k].win;
    game = ", game " + std::to_string(id) + " at seq " + std::to_string(bySeq[a]->seq) + " to " +
           std::to_string(bySeq[b - 1]->seq) + ", result " + (result >= 0 ? std::to_string(result) : std::string("none"));
  }

  // Who signed the range's documents.
  std::size_t total = 0, good = 0;
  std::set<std::string> signers;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].kind.empty() || rows[i].seq < from || rows[i].seq > to) continue;
    ++total;
    if (signedBy[i] == 1) ++good, signers.insert(boxes[rows[i].key].name + " (key " + rows[i].key + ")");
  }
  std::string signatures;
  for (const std::string& s : signers) signatures += (signatures.empty() ? ", signed by " : " and ") + s;
  if (good == 0) signatures = ", unsigned";
  else if (good < total) signatures = ", " + std::to_string(total - good) + " of " + std::to_string(total) + " unsigned";

  std::printf("proved: wheel %u, seq %llu to %llu%s%s%s\n", wheel, static_cast<unsigned long long>(from),
              static_cast<unsigned long long>(to), game.c_str(), signatures.c_str(), covered.c_str());
  std::printf("%s: every document of wheel %u from seq %llu to %llu is in the file (or skipped at the box, as its "
              "signed prev says), each unaltered since the ledger chained it: records %llu to %llu of the wheel's "
              "chain, which follow hash %s and end with hash %s.\n",
              path.c_str(), wheel, static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
              static_cast<unsigned long long>(rows.front().pos), static_cast<unsigned long long>(rows.back().pos),
              HashHex(prevs.front()).c_str(), HashHex(hashes.back()).c_str());
  if (!game.empty())
    std::printf("The game's result is the winning number of its first document that carries one; the documents "
                "just before and after it belong to other games, so none of the game's is left out.\n");
  for (const TRecord& r : rows)
    if (!r.kind.empty() && r.seq >= from && r.seq <= to)
      std::printf("Kept apart by the ledger, in the chain as record %llu: %s at seq %llu%s%s: %s.\n",
                  static_cast<unsigned long long>(r.pos), r.kind.c_str(), static_cast<unsigned long long>(r.seq),
                  r.note.empty() ? "" : ", ", r.note.c_str(), DescribePayload(r.payload).c_str());
  const Json::Value& conflicts = root["conflicts"];
  for (Json::ArrayIndex i = 0; conflicts.isArray() && i < conflicts.size(); ++i) {
    TRecord c;
    if (ReadBundleRecord(conflicts[i], wheel, &c, nullptr, nullptr))
      std::printf("Conflict (outside the chain, so not proven by it): seq %llu also arrived %s with other bytes: "
                  "%s.\n",
                  static_cast<unsigned long long>(c.seq), FormatTime(c.arrivedMs).c_str(),
                  DescribePayload(c.payload).c_str());
  }
  std::string keys;
  for (const auto& [id, k] : boxes) keys += " box " + k.name + " " + k.fingerprint + ";";
  if (site.key) keys += " the site " + site.name + " " + site.fingerprint + ";";
  std::printf("What the file cannot prove alone: %s\n",
              keys.empty() ? ("that hash " + HashHex(hashes.back()).substr(0, 16) +
                              " is the site's (compare it with a head you hold: the site's `kestrin-ledger verify`, "
                              "a later bundle's records); the file holds no box signatures and no site checkpoint.")
                                 .c_str()
                           : ("that its keys are the ones they name: compare each key's fingerprint with the one "
                              "you hold:" + keys.substr(0, keys.size() - 1) + ".")
                                 .c_str());
  return kExitOk;
}

}  // namespace

bool ReadBundleRecord(const Json::Value& v, std::uint32_t wheel, TRecord* pR, THash* pPrev, THash* pHash) {
  if (!v.isObject()) return false;
  auto count = [&v](const char* key, std::uint64_t* pOut) {
    return IsCount(v[key]) && (*pOut = v[key].asUInt64(), true);
  };
  auto text = [&v](const char* key, std::string* pOut) {
    pOut->clear();
    return !v.isMember(key) || (v[key].isString() && DecodeText(v[key].asString(), pOut));
  };
  std::uint64_t replayed = 2;
  pR->wheel = wheel;
  return (!pPrev || count("pos", &pR->pos)) && count("seq", &pR->seq) && count("epoch", &pR->epoch) &&
         count("replayed", &replayed) && replayed <= 1 && (pR->replayed = replayed == 1, true) &&
         v["captured"].isString() && DecodeText(v["captured"].asString(), &pR->captured) &&
         v["arrived"].isString() && ParseTime(v["arrived"].asString(), &pR->arrivedMs) && pR->arrivedMs >= 0 &&
         FormatTime(pR->arrivedMs) == v["arrived"].asString() && v["payload"].isString() &&
         FromHex(v["payload"].asString(), &pR->payload) && text("kind", &pR->kind) && text("note", &pR->note) &&
         text("docprev", &pR->prev) && text("key", &pR->key) && text("sig", &pR->sig) &&
         (!pPrev || (v["prev"].isString() && HashFromHex(v["prev"].asString(), pPrev))) &&
         (!pHash || (v["hash"].isString() && HashFromHex(v["hash"].asString(), pHash)));
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
