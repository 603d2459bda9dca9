// kestrin-ledger: the site's ledger of every wheel's documents, and the verbs that read it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "kestrin_process.h"
#include "ledger_checks.h"
#include "ledger_run.h"
#include "ledger_stats.h"
#include "ledger_verbs.h"

namespace {

using namespace ledger;

std::string DefaultDatabase() {
  const char* state = std::getenv("STATE_DIRECTORY");  // systemd's StateDirectory=
  return std::string(state && *state ? state : "/var/lib/kestrin-ledger") + "/ledger.db";
}

void Usage(std::FILE* out) {
  std::fprintf(out, R"(Usage: kestrin-ledger VERB [OPTION...]
The site's ledger: stores every document of every wheel once, in a hash chain per wheel, checks each
wheel's feed and confirms what it holds on /rng/roulette/kestrin_live/<serial>/ledger (retained, QoS 1).

Verbs:
  run [--broker URI] [--account FILE] [--client-id ID] [--database FILE]
        the service: subscribes (MQTT 5, persistent session, QoS 1) to every wheel's gameStatus and
        bridgeStatus topics, stores each batch of documents in one transaction, then publishes each
        changed wheel's confirmation. Stops on SIGTERM, SIGINT or SIGHUP.
  verify [--wheel SERIAL] [--database FILE]
        walks the chain of one wheel, or of all, and names the first record that does not match
  verify --file BUNDLE|EXPORT
        checks a bundle (or a CSV export) with nothing but the file; its first line is the verdict:
        proved, altered, incomplete or unreadable; then what it proves and what it cannot
  show --wheel SERIAL (--game G [--at TIME] | --at TIME [--around N] | --seq S [--around N])
        the documents of a game, or around a capture time or a seq (N each side; default 5 for
        --at, 0 for --seq), decoded, with the game's result and each document's verdicts
  audit [--wheel SERIAL] --from TIME --to TIME [--format text|json]
        a period's report by capture time (from TIME up to, not including, --to): documents, games,
        gaps opened and closed, missed games, conflicts, restarts, lateness, the chain, the bias test
        over the period and per hour of the day
  export --wheel SERIAL [--from-seq A] [--to-seq B] [--format json|csv] [--output FILE]
  export --wheel SERIAL (--from TIME --to TIME | --game G [--at TIME] | --since TIME [--until TIME])
         [--output FILE]
        json (the default): the bundle, one file with the documents, their chain records and the
        conflicts at their seqs, for a seq range, a capture period, a game or an arrival period;
        csv: the records of a seq or arrival range; to standard output or written whole to FILE
  gaps [--wheel SERIAL] [--database FILE]
        the documents missing between each wheel's first stored and its highest
  stats --wheel SERIAL --games N [--database FILE]
        counts each winning number over the wheel's last N games and tests them against a fair
        single-zero wheel (chi-square, 36 degrees of freedom, flagged at significance %g)

Options:
  --broker URI      the site broker (default tcp://localhost:1883)
  --account FILE    a file whose first line is USER:PASSWORD (default: $CREDENTIALS_DIRECTORY/account
                    when systemd passes one, else no account); never on the command line
  --client-id ID    the session's client identifier (default kestrin-ledger)
  --database FILE   the SQLite database (default $STATE_DIRECTORY/ledger.db, else
                    /var/lib/kestrin-ledger/ledger.db)
  -h, --help        this text; --version its version

TIME is RFC 3339, e.g. 2026-12-08T21:14:00Z. A game's result is the winning number of its first
document that carries one; the bias test counts each game once, by it. A wheel that
favours one number three times over is flagged with 95 %% probability after %d games (%d at the least
for the test to judge at all).

Exit status: 0 done (verify: every chain matches, the bundle is proved; show: no verdict against a
document shown; audit: the period passed; stats: not flagged); 1 verify found a record that does not
match, or a bundle altered or incomplete, show a conflict or a broken chain, audit an open gap, a
conflict or a broken chain, stats flagged the wheel; 2 a wrong command line, a database or file that
cannot be read whole, or nothing where records should be; run: 1 when it cannot start.
)",
               kAlpha, kGamesToFlag3x, kMinGames);
}

int Wrong(const std::string& why) {
  std::fprintf(stderr, "kestrin-ledger: %s\n", why.c_str());
  std::fprintf(stderr, "Try 'kestrin-ledger --help'.\n");
  return kExitError;
}

bool Serial(const std::string& text, int* pOut) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *pOut = std::atoi(text.c_str());
  return true;
}

bool Count(const std::string& text, std::uint64_t* pOut) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *pOut = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}


// The look-ups build their reports in memory: running out of it is an error of the verb, not a crash.
template <typename F>
int Guarded(F verb) {
  try {
    return verb();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrin-ledger: %s\n", e.what());
    return kExitError;
  }
}

// A capture-time period, [--from, --to): RFC 3339 times.
bool Period(std::map<std::string, std::string>& opt, std::int64_t* pFrom, std::int64_t* pTo) {
  return ParseTime(opt["--from"], pFrom) && ParseTime(opt["--to"], pTo) && *pFrom < *pTo && (--*pTo, true);
}

int ShowVerb(std::map<std::string, std::string>& opt, const std::string& database, int wheel) {
  TSelection sel;
  const int ways = static_cast<int>(opt.count("--game") + opt.count("--seq") + (opt.count("--at") && !opt.count("--game")));
  if (ways != 1) return Wrong("show takes one of --game G, --at TIME, --seq S");
  std::uint64_t n = 0;
  if (opt.count("--at") && !ParseTime(opt["--at"], &sel.atMs))
    return Wrong("--at takes an RFC 3339 time, e.g. 2026-12-09T21:14:00Z");
  if (opt.count("--around") && (!Count(opt["--around"], &n) || n > 1000 || opt.count("--game")))
    return Wrong("--around takes a number of documents, 0 to 1000, beside --at or --seq");
  sel.around = static_cast<int>(n);
  if (opt.count("--game")) {
    if (!Count(opt["--game"], &n) || n > 9999) return Wrong("--game takes a game id, 0 to 9999");
    sel.by = TSelection::kByGame;
    sel.game = static_cast<int>(n);
  } else if (opt.count("--seq")) {
    if (!Count(opt["--seq"], &sel.fromSeq) || sel.fromSeq == 0) return Wrong("--seq takes a document number");
    sel.by = TSelection::kAroundSeq;
  } else {
    sel.by = TSelection::kAroundTime;
    if (!opt.count("--around")) sel.around = 5;
  }
  return Guarded([&] { return Show(database, static_cast<std::uint32_t>(wheel), sel); });
}

int AuditVerb(std::map<std::string, std::string>& opt, const std::string& database, int wheel) {
  std::int64_t from = 0, to = 0;
  if (!Period(opt, &from, &to))
    return Wrong("audit needs --from TIME --to TIME, RFC 3339, the first before the second");
  const std::string format = opt.count("--format") ? opt["--format"] : "text";
  if (format != "text" && format != "json") return Wrong("--format text or --format json");
  return Guarded([&] { return Audit(database, wheel, from, to, format == "json"); });
}

int ExportVerb(std::map<std::string, std::string>& opt, const std::string& database, int wheel) {
  TRange range;
  TSelection sel;
  const bool bySeq = opt.count("--from-seq") || opt.count("--to-seq");
  const bool byArrival = opt.count("--since") || opt.count("--until");
  const bool byCapture = opt.count("--from") || opt.count("--to");
  const bool byGame = opt.count("--game");
  if (bySeq + byArrival + byCapture + byGame > 1)
    return Wrong("one of: a seq range, an arrival period, a capture period, a game");
  if (opt.count("--at") && !byGame) return Wrong("--at goes with --game");
  if ((opt.count("--from-seq") && !Count(opt["--from-seq"], &range.fromSeq)) ||
      (opt.count("--to-seq") && !Count(opt["--to-seq"], &range.toSeq)))
    return Wrong("--from-seq and --to-seq take document numbers");
  if (byArrival) {
    range.bySeq = false;
    if ((opt.count("--since") && !ParseTime(opt["--since"], &range.fromMs)) ||
        (opt.count("--until") && !ParseTime(opt["--until"], &range.toMs)))
      return Wrong("--since and --until take RFC 3339 times, e.g. 2026-12-09T01:00:00Z");
  }
  const std::string format = opt.count("--format") ? opt["--format"] : "json";
  if (format != "csv" && format != "json") return Wrong("--format csv or --format json");
  if (format == "csv" && (byCapture || byGame || opt.count("--output")))
    return Wrong("a capture period, a game and --output make the bundle: --format json");
  if (format == "csv") return Export(database, wheel, range, false);
  sel = SelectionOf(range);
  if (byCapture) {
    sel.by = TSelection::kByCapture;
    if (!Period(opt, &sel.fromMs, &sel.toMs))
      return Wrong("--from and --to take RFC 3339 times, the first before the second");
  }
  if (byGame) {
    std::uint64_t game = 0;
    if (!Count(opt["--game"], &game) || game > 9999) return Wrong("--game takes a game id, 0 to 9999");
    sel.by = TSelection::kByGame;
    sel.game = static_cast<int>(game);
    if (opt.count("--at") && !ParseTime(opt["--at"], &sel.atMs))
      return Wrong("--at takes an RFC 3339 time, e.g. 2026-12-09T21:14:00Z");
  }
  return Guarded([&] { return ExportBundle(database, static_cast<std::uint32_t>(wheel), sel, opt["--output"]); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Wrong("a verb is needed");
  const std::string verb = argv[1];
  if (verb == "-h" || verb == "--help") {
    Usage(stdout);
    return kExitOk;
  }
  if (verb == "--version") {
    std::printf("kestrin-ledger %s\n", KESTRIN_VERSION);
    return kExitOk;
  }
  static const std::map<std::string, std::vector<std::string>> kOptions = {
      {"run", {"--broker", "--account", "--client-id", "--database"}},
      {"verify", {"--wheel", "--database", "--file"}},
      {"export", {"--wheel", "--from-seq", "--to-seq", "--since", "--until", "--from", "--to", "--game", "--at",
                  "--format", "--output", "--database"}},
      {"show", {"--wheel", "--game", "--at", "--around", "--seq", "--database"}},
      {"audit", {"--wheel", "--from", "--to", "--format", "--database"}},
      {"gaps", {"--wheel", "--database"}},
      {"stats", {"--wheel", "--games", "--database"}},
  };
  const auto allowed = kOptions.find(verb);
  if (allowed == kOptions.end()) return Wrong("unknown verb '" + verb + "'");
  std::map<std::string, std::string> opt;
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "-h" || name == "--help") {
      Usage(stdout);
      return kExitOk;
    }
    bool known = false;
    for (const auto& o : allowed->second) known = known || o == name;
    if (!known) return Wrong("'" + name + "' is not an option of " + verb);
    if (i + 1 >= argc) return Wrong(name + " needs a value");
    opt[name] = argv[++i];
  }
  const std::string database = opt.count("--database") ? opt["--database"] : DefaultDatabase();
  int wheel = -1;
  if (opt.count("--wheel") && !Serial(opt["--wheel"], &wheel)) return Wrong("--wheel takes a serial, 0 to 9999");

  if (verb == "run") {
    process::TakeStopSignals();
    TRunOptions o;
    o.database = database;
    if (opt.count("--broker")) o.session.uri = opt["--broker"];
    if (opt.count("--client-id")) o.session.clientId = opt["--client-id"];
    std::string account = opt.count("--account") ? opt["--account"] : "";
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (account.empty() && credentials && *credentials) {
      const std::string candidate = std::string(credentials) + "/account";
      if (access(candidate.c_str(), F_OK) == 0) account = candidate;
    }
    std::string error;
    if (!account.empty() && !ReadAccount(account, &o.session.user, &o.session.password, &error)) {
      std::fprintf(stderr, "kestrin-ledger: cannot read the broker account: %s\n", error.c_str());
      return 1;
    }
    return Run(o);
  }
  if (verb == "verify") {
    if (opt.count("--file")) {
      if (opt.count("--wheel") || opt.count("--database")) return Wrong("--file stands alone");
      return VerifyFile(opt["--file"]);
    }
    return Verify(database, wheel);
  }
  if (verb == "gaps") return Gaps(database, wheel);
  if (verb == "audit") return AuditVerb(opt, database, wheel);
  if (wheel < 0) return Wrong(verb + " needs --wheel");
  if (verb == "stats") {
    std::uint64_t games = 0;
    if (!Count(opt["--games"], &games) || games == 0 || games > 1000000)
      return Wrong("--games takes a number of games, 1 to 1000000");
    return Stats(database, wheel, static_cast<int>(games));
  }
  if (verb == "show") return ShowVerb(opt, database, wheel);
  if (verb == "audit") return AuditVerb(opt, database, wheel);
  return ExportVerb(opt, database, wheel);
}
