#include "ledger_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "kestrin_frame.h"
#include "ledger_checks.h"

namespace ledger {

TStoreGuard OpenChecked(const std::string& database) {
  std::string error;
  TStoreGuard store(StoreInit(database.c_str(), false, &error));
  if (!store) {
    std::fprintf(stderr, "kestrin-ledger: %s\n", error.c_str());
  } else if (!StoreCheck(store.get())) {
    std::fprintf(stderr, "kestrin-ledger: %s: %s\n", database.c_str(), StoreError(store.get()).c_str());
    store.reset();
  }
  return store;
}

bool LoadKeys(const std::string& path, TKeysGuard* pOut) {
  if (path.empty() || access(path.c_str(), F_OK) != 0) return true;
  std::string error;
  pOut->reset(KeysInit(path.c_str(), &error));
  if (!*pOut) std::fprintf(stderr, "kestrin-ledger: %s\n", error.c_str());
  return *pOut != nullptr;
}

std::string SignatureVerdict(const TChainVerdict& chain, const TRecord& r) {
  if (r.key.empty() && r.sig.empty()) return "none (stored before the ledger checked signatures)";
  const auto bad = chain.badSignatures.find(r.pos);
  if (bad != chain.badSignatures.end()) return "FAILS: " + bad->second;
  if (!chain.keys) return "not checked (no keys file), key " + r.key;
  return "good, key " + r.key;
}

bool CheckChain(ThLedgerStore hStore, std::uint32_t wheel, ThLedgerKeys hKeys, const std::set<std::uint64_t>& signaturesOf,
                TChainVerdict* pOut, const std::function<void(const TStoredRecord&)>& each) {
  THash prev{};
  pOut->keys = hKeys != nullptr;
  const bool walked = StoreWalk(hStore, wheel, 1, UINT64_MAX, [&](const TStoredRecord& rec) {
    if (each) each(rec);
    if (rec.r.kind.empty() && rec.r.key.empty() && rec.r.sig.empty()) {
      ++pOut->unsignedDocs;
    } else if (rec.r.kind.empty() && hKeys && signaturesOf.count(rec.r.pos)) {
      TIncoming doc;
      doc.wheel = wheel, doc.seq = rec.r.seq, doc.epoch = rec.r.epoch, doc.captured = rec.r.captured;
      doc.payload = rec.r.payload, doc.prev = rec.r.prev, doc.key = rec.r.key, doc.sig = rec.r.sig;
      const std::string why = KeysCheck(hKeys, doc, true);
      if (why.empty()) ++pOut->signedGood;
      else pOut->badSignatures[rec.r.pos] = why;
    }
    ++pOut->records;
    if (pOut->badPos) return true;
    THash hash{};
    if (rec.r.pos != pOut->records)
      pOut->problem = "the chain's record " + std::to_string(pOut->records) +
                      (rec.r.pos > pOut->records ? " before it is missing" : " is there twice");
    else if (!RecordHash(prev, rec.r, &hash) || hash != rec.hash)
      pOut->problem = "it does not match its hash: it was changed, or a record was put before it";
    if (!pOut->problem.empty()) {
      pOut->badPos = rec.r.pos;
      return true;
    }
    prev = rec.hash;
    pOut->head = prev;
    return true;
  });
  return walked;
}

Json::Value DecodePayload(const std::string& payload) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(payload.data(), payload.data() + payload.size(), &root, nullptr) || !root.isObject())
    return Json::Value();
  if (root["error flag"].isInt()) {
    // The console's report names the flag's bits; its text sits between "Received packet (" and "):".
    frame::TStatus status;
    status.nFError = root["error flag"].asInt();
    const unsigned char blank[frame::kFrameLength] = {};
    const std::string report = frame::Report(blank, status);
    const std::size_t open = report.find('('), close = report.find("):");
    if (open != std::string::npos && close != std::string::npos)
      root["errors"] = report.substr(open + 1, close - open - 1);
  }
  return root;
}

std::string DescribePayload(const std::string& payload) {
  const Json::Value v = DecodePayload(payload);
  if (v.isNull()) return "not a JSON document (" + std::to_string(payload.size()) + " bytes)";
  auto num = [&v](const char* key) { return v[key].isInt() ? std::to_string(v[key].asInt()) : std::string("-"); };
  std::string out = "phase " + num("phase") + ", win number " + num("win number") + ", wheel speed " +
                    num("wheel speed") + " (direction " + num("wheel direction") + "), ball speed " +
                    num("ball speed") + " (direction " + num("ball direction") + "), ball laps count " +
                    num("ball laps count") + ", error flag " + num("error flag");
  if (v["errors"].isString()) out += " (" + v["errors"].asString() + ")";
  return out;
}

bool LoadBriefs(ThLedgerStore hStore, std::uint32_t wheel, std::vector<TBrief>* pOut) {
  return StoreDocuments(hStore, wheel, 0, UINT64_MAX, [pOut](const TDocument& d) {
    TBrief b;
    b.seq = d.r.seq;
    b.pos = d.r.pos;
    b.epoch = d.r.epoch;
    b.game = d.game;
    b.win = d.win;
    b.capturedMs = CapturedMs(d.r.captured);
    b.arrivedMs = d.r.arrivedMs;
    b.replayed = d.r.replayed;
    THash named{};
    if (!ReadPrev(d.r.prev, &b.prevSeq, &named)) b.prevSeq = 0;
    pOut->push_back(b);
    return true;
  });
}

std::vector<TGameRun> GameRuns(const std::vector<TBrief>& briefs) {
  std::vector<TGameRun> runs;
  for (const TBrief& b : briefs) {
    if (runs.empty() || runs.back().game != b.game) {
      runs.emplace_back();
      runs.back().game = b.game;
      runs.back().firstSeq = b.seq;
    }
    TGameRun& g = runs.back();
    g.lastSeq = b.seq;
    if (g.result < 0 && b.win >= 0 && b.win <= 36) {
      g.result = b.win;
      g.resultSeq = b.seq;
      g.resultCapturedMs = b.capturedMs;
    }
  }
  return runs;
}

TFigures Figures(std::vector<std::int64_t> sample) {
  TFigures f;
  f.n = sample.size();
  if (sample.empty()) return f;
  std::sort(sample.begin(), sample.end());
  auto rank = [&sample](double q) {
    const std::size_t k = static_cast<std::size_t>(q * static_cast<double>(sample.size()) + 0.999999);
    return sample[std::min(sample.size(), std::max<std::size_t>(k, 1)) - 1];
  };
  f.median = rank(0.5);
  f.p99 = rank(0.99);
  f.max = sample.back();
  return f;
}

std::int64_t CapturedMs(const std::string& captured) {
  std::int64_t ms;
  return ParseTime(captured, &ms) ? ms : INT64_MIN;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace ledger

namespace ledger {

std::size_t NearestCapture(const std::vector<TBrief>& briefs, std::int64_t atMs) {
  std::size_t best = briefs.size();
  std::uint64_t distance = UINT64_MAX;
  for (std::size_t i = 0; i < briefs.size(); ++i) {
    if (briefs[i].capturedMs == INT64_MIN) continue;
    const std::uint64_t d = static_cast<std::uint64_t>(std::llabs(briefs[i].capturedMs - atMs));
    if (d < distance) distance = d, best = i;
  }
  return best;
}

std::vector<TGameRun> FindGame(const std::vector<TBrief>& briefs, int game, std::int64_t atMs) {
  std::vector<TGameRun> found;
  for (const TGameRun& run : GameRuns(briefs))
    if (run.game == game) found.push_back(run);
  if (atMs == INT64_MIN || found.size() < 2) return found;
  // Nearest by the capture time of the run's first document.
  auto firstCaptured = [&briefs](const TGameRun& run) {
    for (const TBrief& b : briefs)
      if (b.seq == run.firstSeq) return b.capturedMs;
    return INT64_MIN;
  };
  std::size_t best = 0;
  std::uint64_t distance = UINT64_MAX;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const std::int64_t at = firstCaptured(found[i]);
    if (at == INT64_MIN) continue;
    const std::uint64_t d = static_cast<std::uint64_t>(std::llabs(at - atMs));
    if (d < distance) distance = d, best = i;
  }
  return {found[best]};
}

}  // namespace ledger
