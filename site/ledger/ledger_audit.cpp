// audit: a period's report, by capture time, per wheel: documents and games, gaps opened and closed,
// missed games, conflicts with both versions, restarts, lateness, the chain's verdict and the bias test
// (over the period and per hour of the day). Built as JSON; the text is rendered from it.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>

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

// One wheel's report; null when it has no document captured in the period.
bool AuditWheel(ThLedgerStore store, std::uint32_t wheel, std::int64_t fromMs, std::int64_t toMs, Json::Value* pOut) {
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
  std::uint64_t highest = 0;
  TChainVerdict chain;
  if (!CheckChain(store, wheel, &chain, [&](const TStoredRecord& rec) {
        if (rec.r.seq > highest + 1) opened.push_back({highest + 1, rec.r.seq - 1, rec.r.arrivedMs});
        if (rec.r.seq > highest) highest = rec.r.seq;
        else filled[rec.r.seq] = {rec.r.arrivedMs, rec.r.replayed};
      }))
    return false;
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
    for (std::uint64_t seq = g.first; seq <= g.last; ++seq) {
      const auto f = filled.find(seq);
      if (f != filled.end()) {
        closedMs = std::max(closedMs, f->second.first), replayed = replayed && f->second.second;
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

  std::vector<TConflict> conflicts;
  if (!StoreConflicts(store, wheel, &conflicts)) return false;
  Json::Value both(Json::arrayValue);
  for (const TConflict& c : conflicts) {
    if (!inSeq(c.seq)) continue;
    Json::Value v(Json::objectValue);
    v["seq"] = UInt64(c.seq);
    if (!StoreDocuments(store, wheel, c.seq, c.seq, [&v](const TDocument& d) {
          v["stored"] = Version(d.r);
          return true;
        }))
      return false;
    TRecord r;
    r.epoch = c.epoch, r.captured = c.captured, r.arrivedMs = c.arrivedMs, r.replayed = c.replayed, r.payload = c.payload;
    v["other"] = Version(r);
    both.append(v);
    findings.append("a conflict at seq " + std::to_string(c.seq));
  }
  w["conflicts"] = both;

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
  w["signatures"] = "none stored";
  w["checkpoints"] = Json::Value(Json::arrayValue);
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
    std::printf("  conflicts:%s\n", w["conflicts"].empty() ? " none" : "");
    for (const Json::Value& c : w["conflicts"]) {
      std::printf("    seq %llu:\n", static_cast<unsigned long long>(c["seq"].asUInt64()));
      for (const char* which : {"stored", "other"})
        std::printf("      %s (captured %s, arrived %s%s): %s\n",
                    std::string(which) == "stored" ? "in the chain" : "other bytes, not in the chain",
                    c[which]["captured"].asCString(), c[which]["arrived"].asCString(),
                    c[which]["replayed"].asBool() ? ", replayed" : "", c[which]["described"].asCString());
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
    std::printf("  signatures: none stored; checkpoints: none (present when the site signs)\n");
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

int Audit(const std::string& database, int wheel, std::int64_t fromMs, std::int64_t toMs, bool json) {
  TStoreGuard store = OpenChecked(database);
  if (!store) return kExitError;
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
  bool passed = true;
  for (std::uint32_t w : wheels) {
    Json::Value one;
    if (!AuditWheel(store.get(), w, fromMs, toMs, &one)) return failed("");
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
    std::printf("\n%s\n", passed ? "passed: no open gap, no conflict, the chain matches"
                                 : "FAILED: see each wheel's verdict");
  }
  return std::fflush(stdout) == 0 && passed ? kExitOk : passed ? kExitError : kExitFound;
}

}  // namespace ledger
