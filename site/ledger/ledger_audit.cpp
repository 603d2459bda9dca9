// audit: a period's report, by capture time, per wheel: documents and games, gaps opened and closed,
// missed games, conflicts with both versions, restarts, lateness, the chain's verdict and the bias test
// (over the period and per hour of the day), the documents kept apart, the box signatures and the site's
// newest checkpoint. Built as JSON; the text is rendered from it.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <fstream>
#include <map>
#include <set>

#include "ledger_checkpoint.h"
#include "ledger_checks.h"
#include "ledger_report.h"
#include "ledger_stats.h"
#include "ledger_verbs.h"

namespace ledger {
namespace {

using Json::UInt64;

Json::Value Bias(const std::vector<int>& results) {
  const TBias b = BiasTest(results);
  Json::Value v(Json::objectValue);
  v["games"] = b.games;
  v["chiSquare"] = b.chiSquare;
  v["pValue"] = b.pValue;
  v["judged"] = b.enough;
  v["flagged"] = b.flagged;
  return v;
}

Json::Value Version(const TRecord& r) {
  Json::Value v(Json::objectValue);
  v["epoch"] = UInt64(r.epoch);
  v["captured"] = EncodeText(r.captured);
  v["arrived"] = FormatTime(r.arrivedMs);
  v["replayed"] = r.replayed;
  v["document"] = DecodePayload(r.payload);
  v["described"] = DescribePayload(r.payload);
  return v;
}

// What the audit holds each wheel to besides its database.
struct TAgainst {
  ThLedgerKeys keys = nullptr;
  bool checkpointFile = false;  // a checkpoint file was read
  std::map<std::uint32_t, TCheckpointSeen> newest;
};

// One wheel's report; null when it has no document captured in the period.
bool AuditWheel(ThLedgerStore store, std::uint32_t wheel, std::int64_t fromMs, std::int64_t toMs,
                const TAgainst& against, Json::Value* pOut) {
  std::vector<TBrief> briefs;
  if (!LoadBriefs(store, wheel, &briefs)) return false;
  auto in = [&](const TBrief& b) { return b.capturedMs != INT64_MIN && b.capturedMs >= fromMs && b.capturedMs <= toMs; };
  std::map<std::uint64_t, const TBrief*> bySeq;
  std::uint64_t documents = 0, firstSeq = UINT64_MAX, lastSeq = 0, lastPos = 0;
  for (const TBrief& b : briefs) {
    bySeq[b.seq] = &b;
    if (!in(b)) continue;
    ++documents, firstSeq = std::min(firstSeq, b.seq), lastSeq = std::max(lastSeq, b.seq);
    lastPos = std::max(lastPos, b.pos);
  }
  *pOut = Json::Value();
  if (documents == 0) return true;
  auto inSeq = [&](std::uint64_t seq) {
    const auto it = bySeq.find(seq);
    return it != bySeq.end() && in(*it->second);
  };
  Json::Value& w = *pOut;
  Json::Value findings(Json::arrayValue);
  w["wheel"] = wheel;
  w["documents"] = UInt64(documents);
  w["seq"].append(UInt64(firstSeq));
  w["seq"].append(UInt64(lastSeq));

  // Gaps as they opened (a document arriving past missing seqs) and closed (the missing ones arriving),
  // from the chain's order; a gap counts for the period when a document next to it was captured in it.
  struct TOpened {
    std::uint64_t first, last;
    std::int64_t openedMs;
  };
  std::vector<TOpened> opened;
  std::map<std::uint64_t, std::pair<std::int64_t, bool>> filled;  // seq -> arrival, replayed
  std::uint64_t highest = 0, checkpointPos = 0;
  const auto checkpoint = against.newest.find(wheel);
  std::set<std::uint64_t> periodPos;  // the period's documents: their signatures are checked
  for (const TBrief& b : briefs)
    if (in(b)) periodPos.insert(b.pos);
  TChainVerdict chain;
  if (!CheckChain(store, wheel, against.keys, periodPos, &chain, [&](const TStoredRecord& rec) {
        if (checkpoint != against.newest.end() && rec.hash == checkpoint->second.head) checkpointPos = rec.r.pos;
        if (!rec.r.kind.empty()) return;  // kept apart: no document of the wheel's
        if (rec.r.seq > highest + 1) opened.push_back({highest + 1, rec.r.seq - 1, rec.r.arrivedMs});
        if (rec.r.seq > highest) highest = rec.r.seq;
        else filled[rec.r.seq] = {rec.r.arrivedMs, rec.r.replayed};
      }))
    return false;
  // Seqs the box skipped on purpose (its signed prev names an earlier seq than the one before): not missing.
  std::map<std::uint64_t, std::uint64_t> skipped;  // first -> last
  for (const TBrief& b : briefs)
    if (b.prevSeq > 0 && b.prevSeq + 1 < b.seq) skipped[b.prevSeq + 1] = b.seq - 1;
  auto isSkipped = [&skipped](std::uint64_t seq) {
    auto it = skipped.upper_bound(seq);
    return it != skipped.begin() && (--it)->second >= seq;
  };
  Json::Value gaps(Json::arrayValue);
  for (const TOpened& g : opened) {
    if (!inSeq(g.first - 1) && !inSeq(g.last + 1)) continue;
    Json::Value v(Json::objectValue);
    v["first"] = UInt64(g.first);
    v["last"] = UInt64(g.last);
    v["opened"] = FormatTime(g.openedMs);
    std::int64_t closedMs = INT64_MIN;
    bool replayed = true;
    Json::Value missing(Json::arrayValue);
    // A gap the box skipped whole, or one too wide to look at seq by seq, is said as a whole.
    auto span = skipped.upper_bound(g.first);
    const bool wholeSkipped = span != skipped.begin() && (--span)->first <= g.first && span->second >= g.last;
    if (wholeSkipped) v["skippedAtTheBox"] = true;
    const bool wide = !wholeSkipped && g.last - g.first >= 1000000;
    if (wide) missing.append(Json::Value(Json::arrayValue)), missing[0].append(UInt64(g.first)), missing[0].append(UInt64(g.last));
    for (std::uint64_t seq = g.first; !wholeSkipped && !wide && seq <= g.last; ++seq) {
      const auto f = filled.find(seq);
      if (f != filled.end()) {
        closedMs = std::max(closedMs, f->second.first), replayed = replayed && f->second.second;
      } else if (isSkipped(seq)) {
        v["skippedAtTheBox"] = true;
      } else if (!bySeq.count(seq)) {
        if (missing.empty() || missing[missing.size() - 1][1].asUInt64() != seq - 1) {
          Json::Value range(Json::arrayValue);
          range.append(UInt64(seq));
          range.append(UInt64(seq));
          missing.append(range);
        } else {
          missing[missing.size() - 1][1] = UInt64(seq);
        }
      }
    }
    if (closedMs != INT64_MIN) {
      v["closed"] = FormatTime(closedMs);
      v["by"] = replayed ? "replay" : "late delivery";
    }
    v["missing"] = missing;
    v["open"] = !missing.empty();
    if (!missing.empty())
      findings.append("an open gap: seq " + std::to_string(missing[0][0].asUInt64()) + " to " +
                      std::to_string(missing[0][1].asUInt64()) + " missing");
    gaps.append(v);
  }
  w["gaps"] = gaps;

  // Games: runs of the same game id; missed games and restarts between consecutive seqs.
  Json::Value missed(Json::arrayValue), restarts(Json::arrayValue);
  std::vector<std::int64_t> lateness;
  std::vector<int> results;
  std::array<std::vector<int>, 24> byHour;
  std::uint64_t games = 0;
  for (const TGameRun& run : GameRuns(briefs)) {
    bool any = false;
    for (auto it = bySeq.lower_bound(run.firstSeq); it != bySeq.end() && it->first <= run.lastSeq && !any; ++it)
      any = in(*it->second);
    games += any;
    if (run.result < 0 || run.resultCapturedMs < fromMs || run.resultCapturedMs > toMs) continue;
    results.push_back(run.result);
    byHour[static_cast<std::size_t>((run.resultCapturedMs / 3600000 % 24 + 24) % 24)].push_back(run.result);
  }
  for (std::size_t i = 0; i < briefs.size(); ++i) {
    const TBrief& b = briefs[i];
    if (in(b) && !b.replayed) lateness.push_back(b.arrivedMs - b.capturedMs);
    if (i == 0 || briefs[i - 1].seq + 1 != b.seq || (!in(b) && !in(briefs[i - 1]))) continue;
    const TBrief& a = briefs[i - 1];
    if (const std::uint64_t n = MissedGames(a.game, b.game)) {
      Json::Value v(Json::objectValue);
      v["afterSeq"] = UInt64(a.seq);
      v["from"] = a.game;
      v["to"] = b.game;
      for (std::uint64_t k = 1; k <= n && k <= 50; ++k) v["games"].append(static_cast<int>((a.game + k) % 10000));
      missed.append(v);
    }
    if (a.epoch != b.epoch) {
      Json::Value v(Json::objectValue);
      v["seq"] = UInt64(b.seq);
      v["epoch"] = UInt64(b.epoch);
      v["previousEpoch"] = UInt64(a.epoch);
      v["captured"] = b.capturedMs == INT64_MIN ? "" : FormatTime(b.capturedMs);
      restarts.append(v);
    }
  }
  w["games"] = UInt64(games);
  w["missedGames"] = missed;
  w["restarts"] = restarts;
  const TFigures late = Figures(lateness);
  w["lateness"]["documents"] = UInt64(late.n);
  w["lateness"]["medianMs"] = Json::Int64(late.median);
  w["lateness"]["p99Ms"] = Json::Int64(late.p99);
  w["lateness"]["maxMs"] = Json::Int64(late.max);

  std::vector<TApart> apart;
  if (!StoreApart(store, wheel, &apart)) return false;
  Json::Value kept(Json::arrayValue);
  for (const TApart& a : apart) {
    const std::int64_t captured = CapturedMs(a.r.captured);
    if (!inSeq(a.r.seq) && !(captured != INT64_MIN && captured >= fromMs && captured <= toMs)) continue;
    Json::Value v(Json::objectValue);
    v["seq"] = UInt64(a.r.seq);
    v["kind"] = a.r.kind;
    v["note"] = a.r.note;
    v["record"] = UInt64(a.r.pos);  // 0: outside the chain (a ledger before signatures)
    if (!StoreDocuments(store, wheel, a.r.seq, a.r.seq, [&v](const TDocument& d) {
          v["stored"] = Version(d.r);
          return true;
        }))
      return false;
    v["other"] = Version(a.r);
    kept.append(v);
    if (a.r.kind == "conflict") findings.append("a conflict at seq " + std::to_string(a.r.seq));
    if (a.r.kind == "rejected")
      findings.append("a document of seq " + std::to_string(a.r.seq) + " kept apart: " + a.r.note);
  }
  w["keptApart"] = kept;

  // The box signatures of the period's documents.
  Json::Value& sig = w["signatures"];
  sig["checked"] = chain.keys;
  std::uint64_t good = 0, none = 0;
  for (const TBrief& b : briefs) {
    if (!in(b)) continue;
    const auto bad = chain.badSignatures.find(b.pos);
    if (bad != chain.badSignatures.end()) {
      sig["failing"].append(UInt64(b.seq));
      findings.append("the box signature of seq " + std::to_string(b.seq) + " fails: " + bad->second);
    }
  }
  // Counted over the chain's records of the period's documents.
  if (!StoreDocuments(store, wheel, firstSeq, lastSeq, [&](const TDocument& d) {
        if (periodPos.count(d.r.pos)) (d.r.key.empty() && d.r.sig.empty() ? none : good) += 1;
        return true;
      }))
    return false;
  sig["signed"] = UInt64(good - std::min<std::uint64_t>(good, sig["failing"].size()));
  sig["unsigned"] = UInt64(none);

  // The site's newest checkpoint of the wheel, if it covers the period.
  Json::Value& cp = w["checkpoint"];
  if (checkpoint != against.newest.end()) {
    cp["time"] = FormatTime(checkpoint->second.timeMs);
    cp["seq"] = UInt64(checkpoint->second.size);
    cp["headRecord"] = UInt64(checkpointPos);
    cp["covers"] = checkpoint->second.size >= lastSeq && checkpointPos >= lastPos;
    if (checkpointPos == 0)
      findings.append("the chain does not hold the head of the site's checkpoint of " + cp["time"].asString() +
                      ": records were removed or rewritten");
  }

  Json::Value& ch = w["chain"];
  ch["records"] = UInt64(chain.records);
  ch["matches"] = chain.badPos == 0 || chain.badPos > lastPos;
  ch["head"] = HashHex(chain.head);
  if (chain.badPos) {
    ch["breaksAt"] = UInt64(chain.badPos);
    ch["problem"] = chain.problem;
  }
  if (!ch["matches"].asBool())
    findings.append("the chain breaks at record " + std::to_string(chain.badPos) + ": " + chain.problem);
  w["bias"] = Bias(results);
  for (int h = 0; h < 24; ++h) {
    if (byHour[h].empty()) continue;
    Json::Value v = Bias(byHour[h]);
    v["hour"] = h;
    w["biasByHour"].append(v);
  }
  w["findings"] = findings;
  w["passed"] = findings.empty();
  return true;
}

void Render(const Json::Value& report) {
  std::printf("Audit of %s to %s (by capture time, UTC)\n", report["from"].asCString(), report["to"].asCString());
  for (const Json::Value& w : report["wheels"]) {
    std::printf("\nwheel %u: %s, seq %llu to %llu; %s\n", w["wheel"].asUInt(),
                Plural(w["documents"].asUInt64(), "document", "documents").c_str(),
                static_cast<unsigned long long>(w["seq"][0].asUInt64()),
                static_cast<unsigned long long>(w["seq"][1].asUInt64()),
                Plural(w["games"].asUInt64(), "game", "games").c_str());
    std::printf("  gaps:%s\n", w["gaps"].empty() ? " none" : "");
    for (const Json::Value& g : w["gaps"]) {
      std::printf("    seq %llu to %llu opened %s", static_cast<unsigned long long>(g["first"].asUInt64()),
                  static_cast<unsigned long long>(g["last"].asUInt64()), g["opened"].asCString());
      if (g.isMember("closed"))
        std::printf(", %s %s by %s", g["open"].asBool() ? "partly closed" : "closed", g["closed"].asCString(),
                    g["by"].asCString());
      if (g.isMember("skippedAtTheBox")) std::printf(", seqs skipped at the box on purpose (its signed prev)");
      for (const Json::Value& m : g["missing"])
        std::printf(", OPEN: seq %llu to %llu missing", static_cast<unsigned long long>(m[0].asUInt64()),
                    static_cast<unsigned long long>(m[1].asUInt64()));
      std::printf("\n");
    }
    std::printf("  missed games:%s\n", w["missedGames"].empty() ? " none" : "");
    for (const Json::Value& m : w["missedGames"]) {
      std::printf("    after seq %llu, game %d to %d:", static_cast<unsigned long long>(m["afterSeq"].asUInt64()),
                  m["from"].asInt(), m["to"].asInt());
      for (const Json::Value& g : m["games"]) std::printf(" %d", g.asInt());
      std::printf(" never reached the bridge\n");
    }
    std::printf("  kept apart (conflicts, forks, documents that failed their checks):%s\n",
                w["keptApart"].empty() ? " none" : "");
    for (const Json::Value& k : w["keptApart"]) {
      const std::string kind = k["kind"].asString();
      std::printf("    seq %llu: %s%s%s\n", static_cast<unsigned long long>(k["seq"].asUInt64()),
                  kind == "conflict" ? "CONFLICT" : kind == "rejected" ? "REJECTED" : kind.c_str(),
                  k["note"].asString().empty() ? "" : ": ", k["note"].asCString());
      for (const char* which : {"stored", "other"}) {
        const Json::Value& v = k[which];
        if (v.isObject())
          std::printf("      %s (captured %s, arrived %s%s): %s\n",
                      std::string(which) == "stored" ? "the document stored" : "the one kept apart",
                      v["captured"].asCString(), v["arrived"].asCString(), v["replayed"].asBool() ? ", replayed" : "",
                      v["described"].asCString());
      }
    }
    std::printf("  restarts:%s\n", w["restarts"].empty() ? " none" : "");
    for (const Json::Value& r : w["restarts"])
      std::printf("    epoch %llu to %llu at seq %llu, captured %s\n",
                  static_cast<unsigned long long>(r["previousEpoch"].asUInt64()),
                  static_cast<unsigned long long>(r["epoch"].asUInt64()),
                  static_cast<unsigned long long>(r["seq"].asUInt64()), r["captured"].asCString());
    const Json::Value& l = w["lateness"];
    std::printf("  lateness, capture to arrival, of %llu live documents: median %lld ms, p99 %lld ms, max %lld ms\n",
                static_cast<unsigned long long>(l["documents"].asUInt64()), static_cast<long long>(l["medianMs"].asInt64()),
                static_cast<long long>(l["p99Ms"].asInt64()), static_cast<long long>(l["maxMs"].asInt64()));
    const Json::Value& c = w["chain"];
    if (c["matches"].asBool())
      std::printf("  chain: matches over the period (%llu records walked from record 1, head %s)%s\n",
                  static_cast<unsigned long long>(c["records"].asUInt64()), c["head"].asCString(),
                  c.isMember("breaksAt") ? "; it breaks after the period" : "");
    if (c.isMember("breaksAt"))
      std::printf("  chain: BREAKS at record %llu: %s\n", static_cast<unsigned long long>(c["breaksAt"].asUInt64()),
                  c["problem"].asCString());
    const Json::Value& sig = w["signatures"];
    std::printf("  box signatures: %llu good, %u FAILING, %llu documents unsigned (stored before signatures)%s\n",
                static_cast<unsigned long long>(sig["signed"].asUInt64()), sig["failing"].size(),
                static_cast<unsigned long long>(sig["unsigned"].asUInt64()),
                sig["checked"].asBool() ? "" : "; not checked: no keys file");
    const Json::Value& cp = w["checkpoint"];
    if (cp.isObject())
      std::printf("  the site's newest checkpoint: %s, every document up to seq %llu stored, its head record %llu: "
                  "%s\n",
                  cp["time"].asCString(), static_cast<unsigned long long>(cp["seq"].asUInt64()),
                  static_cast<unsigned long long>(cp["headRecord"].asUInt64()),
                  cp["covers"].asBool() ? "it covers the period" : "it does not cover the whole period yet");
    else
      std::printf("  the site's checkpoint: none for this wheel%s\n",
                  report["checkpointFile"].asBool() ? "" : " (no checkpoint file)");
    auto bias = [](const Json::Value& b) {
      char text[160];
      std::snprintf(text, sizeof text, "%d games, chi-square %.2f, p = %.4g: %s", b["games"].asInt(),
                    b["chiSquare"].asDouble(), b["pValue"].asDouble(),
                    !b["judged"].asBool() ? "too few to judge" : b["flagged"].asBool() ? "FLAGGED" : "not flagged");
      return std::string(text);
    };
    std::printf("  bias test: %s\n", bias(w["bias"]).c_str());
    for (const Json::Value& h : w["biasByHour"]) std::printf("    %02d:00-%02d:59 UTC: %s\n", h["hour"].asInt(), h["hour"].asInt(), bias(h).c_str());
    std::printf("  verdict: %s\n", w["passed"].asBool() ? "passed" : "FAILED");
    for (const Json::Value& f : w["findings"]) std::printf("    %s\n", f.asCString());
  }
}

}  // namespace

int Audit(const std::string& database, int wheel, std::int64_t fromMs, std::int64_t toMs, bool json,
          const TSources& sources) {
  TStoreGuard store = OpenChecked(database);
  TKeysGuard keys;
  if (!store || !LoadKeys(sources.keys, &keys)) return kExitError;
  TAgainst against;
  against.keys = keys.get();
  std::uint64_t badNotes = 0;
  if (!sources.checkpoints.empty() && access(sources.checkpoints.c_str(), F_OK) == 0) {
    std::string vkey, error;
    if (!sources.siteKey.empty()) std::getline(std::ifstream(sources.siteKey), vkey);
    if ((!sources.siteKey.empty() && vkey.empty()) ||
        !CheckpointsRead(sources.checkpoints.c_str(), vkey, &against.newest, &badNotes, &error)) {
      std::fprintf(stderr, "kestrin-ledger: %s\n", vkey.empty() && error.empty() ? ("cannot read " + sources.siteKey).c_str() : error.c_str());
      return kExitError;
    }
    against.checkpointFile = true;
  }
  auto failed = [&store](const std::string& why) {
    std::fprintf(stderr, "kestrin-ledger: %s\n", why.empty() ? StoreError(store.get()).c_str() : why.c_str());
    return kExitError;
  };
  std::vector<std::uint32_t> wheels;
  if (wheel >= 0) wheels.push_back(static_cast<std::uint32_t>(wheel));
  else wheels = StoreWheelList(store.get());
  if (!StoreError(store.get()).empty()) return failed("");
  Json::Value report(Json::objectValue);
  report["from"] = FormatTime(fromMs);
  report["to"] = FormatTime(toMs);
  report["wheels"] = Json::Value(Json::arrayValue);
  report["checkpointFile"] = against.checkpointFile;
  report["badCheckpoints"] = Json::UInt64(badNotes);
  // A checkpoint whose signature does not verify with the site's key is a finding of the whole audit.
  bool passed = badNotes == 0;
  for (std::uint32_t w : wheels) {
    Json::Value one;
    if (!AuditWheel(store.get(), w, fromMs, toMs, against, &one)) return failed("");
    if (one.isNull()) continue;
    passed = passed && one["passed"].asBool();
    report["wheels"].append(one);
  }
  if (report["wheels"].empty())
    return failed((wheel >= 0 ? "wheel " + std::to_string(wheel) : std::string("no wheel")) +
                  ": no documents captured from " + FormatTime(fromMs) + " to " + FormatTime(toMs));
  report["passed"] = passed;
  if (json) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = " ";
    std::cout << Json::writeString(builder, report) << "\n";
  } else {
    Render(report);
    if (badNotes)
      std::printf("\nFAILED: %llu checkpoints in %s whose signature does not verify with the site's key\n",
                  static_cast<unsigned long long>(badNotes), sources.checkpoints.c_str());
    std::printf("\n%s\n", passed ? "passed: no open gap, no conflict, no failed signature, the chain matches"
                                 : "FAILED: see each wheel's verdict");
  }
  return std::fflush(stdout) == 0 && passed ? kExitOk : passed ? kExitError : kExitFound;
}

}  // namespace ledger
