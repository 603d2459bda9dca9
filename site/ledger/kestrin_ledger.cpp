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
#include "ledger_checkpoint.h"
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

constexpr const char* kDefaultKeys = "/etc/kestrin-ledger/box-keys";
constexpr const char* kDefaultSiteVkey = "/etc/kestrin-ledger/site.vkey";

// The checkpoint file beside the database.
std::string DefaultCheckpoints(const std::string& database) {
  const std::size_t slash = database.rfind('/');
  return (slash == std::string::npos ? std::string() : database.substr(0, slash + 1)) + "checkpoints";
}

std::string HostName() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 && *name ? name : "kestrin-site";
}

// $CREDENTIALS_DIRECTORY/<name> when systemd passes it, else "".
std::string Credential(const char* name) {
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (!credentials || !*credentials) return {};
  const std::string candidate = std::string(credentials) + "/" + name;
  return access(candidate.c_str(), F_OK) == 0 ? candidate : std::string();
}

void Usage(std::FILE* out) {
  std::fprintf(out, R"(Usage: kestrin-ledger VERB [OPTION...]
The site's ledger: stores every document of every wheel once, in a hash chain per wheel, checks each
wheel's feed and confirms what it holds on /rng/roulette/kestrin_live/<serial>/ledger (retained, QoS 1).

Verbs:
  run [--broker URI] [--account FILE] [--client-id ID] [--database FILE] [--keys FILE]
      [--key FILE] [--name NAME] [--checkpoints FILE]
        the service: subscribes (MQTT 5, persistent session, QoS 1) to every wheel's gameStatus and
        bridgeStatus topics, checks each document's signature with its box's key, commits it (or keeps
        it apart with its reason) before the broker has its acknowledgement (one it cannot commit is
        held and the session ends until storing works), then, once synced, publishes each changed
        wheel's confirmation with its signed checkpoint. Stops on SIGTERM, SIGINT or SIGHUP.
  verify [--wheel SERIAL] [--database FILE] [--keys FILE] [--checkpoints FILE] [--site-key FILE]
        walks the chain of one wheel, or of all, names the first record that does not match, checks
        each document's signature and link, and holds the database to the newest checkpoint of
        each wheel in the checkpoint file
  verify --file BUNDLE|EXPORT
        checks a bundle (or a CSV export) with nothing but the file; its first line is the verdict:
        proved, altered, incomplete or unreadable; then what it proves and what it cannot
  key [--key FILE] [--name NAME]
        prints the ledger key's verifier key (for each box's /etc/kestrin-bridge/site.vkey)
  show --wheel SERIAL (--game G [--at TIME] | --at TIME [--around N] | --seq S [--around N])
       [--keys FILE]
        the documents of a game, or around a capture time or a seq (N each side; default 5 for
        --at, 0 for --seq), decoded, with the game's result and each document's verdicts
  audit [--wheel SERIAL] --from TIME --to TIME [--format text|json] [--keys FILE]
        [--checkpoints FILE] [--site-key FILE]
        a period's report by capture time (from TIME up to, not including, --to): documents, games,
        gaps opened and closed, missed games, conflicts, documents kept apart, restarts, lateness,
        the chain, signatures, the newest checkpoint, the bias test over the period and per hour
  export --wheel SERIAL [--from-seq A] [--to-seq B] [--format json|csv] [--output FILE]
  export --wheel SERIAL (--from TIME --to TIME | --game G [--at TIME] | --since TIME [--until TIME])
         [--output FILE] [--keys FILE] [--checkpoints FILE] [--site-key FILE]
        json (the default): the bundle, one file with the documents, their chain records, the
        records kept apart at their seqs, the boxes' and the site's keys and the checkpoint that
        covers them, for a seq range, a capture period, a game or an arrival period; csv: the
        records of a seq or arrival range; to standard output or written whole to FILE
  gaps [--wheel SERIAL] [--database FILE]
        the documents missing of each wheel, from seq 1 up to its highest stored
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
  --keys FILE       the boxes' keys and wheels, as kestrin-site writes them (default
                    /etc/kestrin-ledger/box-keys)
  --key FILE        the ledger's Ed25519 key, PKCS#8 PEM (default: $CREDENTIALS_DIRECTORY/ledger.key
                    when systemd passes one; run: else no checkpoints)
  --name NAME       the ledger key's name, the checkpoints' site name (default: the host name)
  --checkpoints FILE  the checkpoint file (default: checkpoints beside the database)
  --site-key FILE   the ledger's verifier key that the checkpoints' signatures must verify with
                    (default /etc/kestrin-ledger/site.vkey when it exists, else read unchecked)
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

int ShowVerb(std::map<std::string, std::string>& opt, const std::string& database, int wheel,
             const TSources& sources) {
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
  return Guarded([&] { return Show(database, static_cast<std::uint32_t>(wheel), sel, sources); });
}

int AuditVerb(std::map<std::string, std::string>& opt, const std::string& database, int wheel,
              const TSources& sources) {
  std::int64_t from = 0, to = 0;
  if (!Period(opt, &from, &to))
    return Wrong("audit needs --from TIME --to TIME, RFC 3339, the first before the second");
  const std::string format = opt.count("--format") ? opt["--format"] : "text";
  if (format != "text" && format != "json") return Wrong("--format text or --format json");
  return Guarded([&] { return Audit(database, wheel, from, to, format == "json", sources); });
}

int ExportVerb(std::map<std::string, std::string>& opt, const std::string& database, int wheel,
               const TSources& sources) {
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
  return Guarded(
      [&] { return ExportBundle(database, static_cast<std::uint32_t>(wheel), sel, opt["--output"], sources); });
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
      {"run", {"--broker", "--account", "--client-id", "--database", "--keys", "--key", "--name", "--checkpoints"}},
      {"verify", {"--wheel", "--database", "--file", "--keys", "--checkpoints", "--site-key"}},
      {"key", {"--key", "--name"}},
      {"export", {"--wheel", "--from-seq", "--to-seq", "--since", "--until", "--from", "--to", "--game", "--at",
                  "--format", "--output", "--database", "--keys", "--checkpoints", "--site-key"}},
      {"show", {"--wheel", "--game", "--at", "--around", "--seq", "--database", "--keys"}},
      {"audit", {"--wheel", "--from", "--to", "--format", "--database", "--keys", "--checkpoints", "--site-key"}},
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

  const std::string keys = opt.count("--keys") ? opt["--keys"] : kDefaultKeys;
  const std::string ledgerKey = opt.count("--key") ? opt["--key"] : Credential("ledger.key");
  const std::string name = opt.count("--name") ? opt["--name"] : HostName();
  const std::string checkpoints = opt.count("--checkpoints") ? opt["--checkpoints"] : DefaultCheckpoints(database);
  if (verb == "key") {
    std::string error;
    const std::string vkey = LedgerVkey(ledgerKey.empty() ? "/etc/credstore/kestrin-ledger.key" : ledgerKey.c_str(),
                                        name.c_str(), &error);
    if (vkey.empty()) {
      std::fprintf(stderr, "kestrin-ledger: %s\n", error.c_str());
      return kExitError;
    }
    std::printf("%s\n", vkey.c_str());
    return kExitOk;
  }
  if (verb == "run") {
    process::TakeStopSignals();
    TRunOptions o;
    o.database = database;
    o.keys = keys;
    o.ledgerKey = ledgerKey;
    o.name = name;
    o.checkpoints = checkpoints;
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
      if (opt.size() > 1) return Wrong("--file stands alone");
      return VerifyFile(opt["--file"]);
    }
  }
  std::string siteKey = opt.count("--site-key") ? opt["--site-key"] : "";
  if (siteKey.empty() && access(kDefaultSiteVkey, R_OK) == 0) siteKey = kDefaultSiteVkey;
  if (verb == "verify") return Verify(database, wheel, keys, checkpoints, siteKey);
  const TSources sources{keys, checkpoints, siteKey};
  if (verb == "gaps") return Gaps(database, wheel);
  if (verb == "audit") return AuditVerb(opt, database, wheel, sources);
  if (wheel < 0) return Wrong(verb + " needs --wheel");
  if (verb == "stats") {
    std::uint64_t games = 0;
    if (!Count(opt["--games"], &games) || games == 0 || games > 1000000)
      return Wrong("--games takes a number of games, 1 to 1000000");
    return Stats(database, wheel, static_cast<int>(games));
  }
  if (verb == "show") return ShowVerb(opt, database, wheel, sources);
  return ExportVerb(opt, database, wheel, sources);
}
