// show: the documents of a game, or around a seq or a capture time, each decoded, with its verdicts.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "ledger_checks.h"
#include "ledger_report.h"
#include "ledger_verbs.h"

namespace ledger {
namespace {

// The seq range of the briefs from index i, `around` documents each side.
std::pair<std::uint64_t, std::uint64_t> Around(const std::vector<TBrief>& briefs, std::size_t i, int around) {
  const std::size_t n = static_cast<std::size_t>(std::max(around, 0));
  return {briefs[i >= n ? i - n : 0].seq, briefs[std::min(briefs.size() - 1, i + n)].seq};
}

std::string ChainLine(const TChainVerdict& chain, std::uint64_t pos, bool* pBad) {
  if (chain.badPos == 0)
    return "in the chain as record " + std::to_string(pos) + "; the chain matches from record 1 to its head (record " +
           std::to_string(chain.records) + ", " + HashHex(chain.head).substr(0, 16) + "...)";
  if (pos < chain.badPos)
    return "in the chain as record " + std::to_string(pos) + "; the chain matches up to it (it breaks later, at record " +
           std::to_string(chain.badPos) + ")";
  *pBad = true;
  return "NOT PROVEN: the chain breaks at record " + std::to_string(chain.badPos) + " (" + chain.problem +
         "), at or before this one (record " + std::to_string(pos) + ")";
}

}  // namespace

int Show(const std::string& database, std::uint32_t wheel, const TSelection& sel, const TSources& sources) {
  TStoreGuard store = OpenChecked(database);
  TKeysGuard keys;
  if (!store || !LoadKeys(sources.keys, &keys)) return kExitError;
  auto failed = [&store](const std::string& why) {
    std::fprintf(stderr, "kestrin-ledger: %s\n", why.empty() ? StoreError(store.get()).c_str() : why.c_str());
    return kExitError;
  };
  std::vector<TBrief> briefs;
  if (!LoadBriefs(store.get(), wheel, &briefs)) return failed("");
  const std::string name = "wheel " + std::to_string(wheel);
  if (briefs.empty()) return failed(name + ": no records");

  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  if (sel.by == TSelection::kByGame) {
    const std::vector<TGameRun> runs = FindGame(briefs, sel.game, sel.atMs);
    if (runs.empty()) return failed(name + ": no document of game " + std::to_string(sel.game));
    if (runs.size() > 1)
      std::printf("%s: game %d occurs %zu times (game ids start again after 9999); each below, oldest first. "
                  "--at TIME picks the one captured nearest TIME.\n\n",
                  name.c_str(), sel.game, runs.size());
    for (const TGameRun& run : runs) ranges.emplace_back(run.firstSeq, run.lastSeq);
  } else if (sel.by == TSelection::kAroundSeq) {
    const auto it = std::lower_bound(briefs.begin(), briefs.end(), sel.fromSeq,
                                     [](const TBrief& b, std::uint64_t seq) { return b.seq < seq; });
    if (it == briefs.end() || it->seq != sel.fromSeq)
      return failed(name + ": seq " + std::to_string(sel.fromSeq) + " is not stored (see gaps)");
    ranges.push_back(Around(briefs, static_cast<std::size_t>(it - briefs.begin()), sel.around));
  } else {
    const std::size_t i = NearestCapture(briefs, sel.atMs);
    if (i == briefs.size()) return failed(name + ": no document with a readable capture time");
    std::printf("%s: the document captured nearest %s is seq %llu\n\n", name.c_str(), FormatTime(sel.atMs).c_str(),
                static_cast<unsigned long long>(briefs[i].seq));
    ranges.push_back(Around(briefs, i, sel.around));
  }

  std::set<std::uint64_t> shown;  // the positions of the documents shown: their signatures are checked
  for (const TBrief& b : briefs)
    for (const auto& [from, to] : ranges)
      if (b.seq >= from && b.seq <= to) shown.insert(b.pos);
  TChainVerdict chain;
  std::vector<TApart> apart;
  if (!CheckChain(store.get(), wheel, keys.get(), shown, &chain) || !StoreApart(store.get(), wheel, &apart))
    return failed("");
  std::map<std::uint64_t, TGameRun> runOf;  // by the run's first seq
  for (const TGameRun& run : GameRuns(briefs)) runOf[run.firstSeq] = run;

  std::printf("A game's result is the winning number (0 to 36) of its first document, by seq, that carries one.\n");
  bool bad = false;
  for (const auto& [from, to] : ranges) {
    const TGameRun* current = nullptr;
    const bool walked = StoreDocuments(store.get(), wheel, from, to, [&](const TDocument& d) {
      auto run = runOf.upper_bound(d.r.seq);
      --run;
      if (current != &run->second) {
        current = &run->second;
        const TGameRun& g = *current;
        std::printf("\n%s, game %d (seq %llu to %llu): ", name.c_str(), g.game,
                    static_cast<unsigned long long>(g.firstSeq), static_cast<unsigned long long>(g.lastSeq));
        if (g.result >= 0)
          std::printf("result %d, from seq %llu\n", g.result, static_cast<unsigned long long>(g.resultSeq));
        else
          std::printf("no result: none of its documents carries a winning number\n");
      }
      const std::int64_t captured = CapturedMs(d.r.captured);
      std::printf("  seq %llu  epoch %llu  captured %s  arrived %s", static_cast<unsigned long long>(d.r.seq),
                  static_cast<unsigned long long>(d.r.epoch), EncodeText(d.r.captured).c_str(),
                  FormatTime(d.r.arrivedMs).c_str());
      if (captured != INT64_MIN) std::printf(" (%lld ms later)", static_cast<long long>(d.r.arrivedMs - captured));
      const std::string signature = SignatureVerdict(chain, d.r);
      bad = bad || signature.rfind("FAILS", 0) == 0;
      std::printf("  %s\n    %s\n    %s\n    box signature: %s\n", d.r.replayed ? "replayed" : "live",
                  DescribePayload(d.r.payload).c_str(), ChainLine(chain, d.r.pos, &bad).c_str(), signature.c_str());
      for (const TApart& a : apart) {
        if (a.r.seq != d.r.seq) continue;
        // A fork is the box's own chain going on after a cut: both signed, no verdict against either.
        bad = bad || a.r.kind != "fork";
        std::string kind = a.r.kind == "conflict" ? "CONFLICT" : a.r.kind == "fork" ? "fork" : "REJECTED";
        std::printf("    %s%s: a document for seq %llu arrived %s (captured %s, epoch %llu%s), kept apart%s: %s\n",
                    kind.c_str(), a.r.note.empty() ? "" : (" (" + a.r.note + ")").c_str(),
                    static_cast<unsigned long long>(a.r.seq), FormatTime(a.r.arrivedMs).c_str(),
                    EncodeText(a.r.captured).c_str(), static_cast<unsigned long long>(a.r.epoch),
                    a.r.replayed ? ", replayed" : "",
                    a.r.pos ? (" as record " + std::to_string(a.r.pos)).c_str() : " outside the chain",
                    DescribePayload(a.r.payload).c_str());
      }
      return true;
    });
    if (!walked) return failed("");
  }
  return bad ? kExitFound : kExitOk;
}

}  // namespace ledger
