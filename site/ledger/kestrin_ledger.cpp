// kestrin-ledger: the site's ledger of every wheel's documents, and the verbs that read it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
        bridgeStatus topics, commits each document before the broker has its acknowledgement, then,
        once synced, publishes each changed wheel's confirmation. Stops on SIGTERM, SIGINT or SIGHUP.
  verify [--wheel SERIAL] [--database FILE]
        walks the chain of one wheel, or of all, and names the first record that does not match
  verify --file EXPORT
        checks an exported file's chain with nothing but the file
  export --wheel SERIAL [--from-seq A] [--to-seq B] --format csv|json [--database FILE]
  export --wheel SERIAL [--since TIME] [--until TIME] --format csv|json [--database FILE]
        writes the wheel's records with their hashes to standard output, by seq or by arrival time
        (RFC 3339, e.g. 2026-12-09T01:00:00Z; not both), in chain order
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
  -h, --help        this text; --version its version

The bias test: a game counts once, by its first document that carries a winning number. A wheel that
favours one number three times over is flagged with 95 %% probability after %d games (%d at the least
for the test to judge at all).

Exit status: 0 done (verify: every chain matches; stats: not flagged); 1 verify found a record that
does not match, or stats flagged the wheel; 2 a wrong command line, or a database or file that cannot
be read; run: 1 when it cannot start.
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
      {"export", {"--wheel", "--from-seq", "--to-seq", "--since", "--until", "--format", "--database"}},
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
  if (wheel < 0) return Wrong(verb + " needs --wheel");
  if (verb == "stats") {
    std::uint64_t games = 0;
    if (!Count(opt["--games"], &games) || games == 0 || games > 1000000)
      return Wrong("--games takes a number of games, 1 to 1000000");
    return Stats(database, wheel, static_cast<int>(games));
  }
  // export
  TRange range;
  const bool bySeq = opt.count("--from-seq") || opt.count("--to-seq");
  const bool byTime = opt.count("--since") || opt.count("--until");
  if (bySeq && byTime) return Wrong("a seq range or a time range, not both");
  if ((opt.count("--from-seq") && !Count(opt["--from-seq"], &range.fromSeq)) ||
      (opt.count("--to-seq") && !Count(opt["--to-seq"], &range.toSeq)))
    return Wrong("--from-seq and --to-seq take document numbers");
  if (byTime) {
    range.bySeq = false;
    if ((opt.count("--since") && !ParseTime(opt["--since"], &range.fromMs)) ||
        (opt.count("--until") && !ParseTime(opt["--until"], &range.toMs)))
      return Wrong("--since and --until take RFC 3339 times, e.g. 2026-12-09T01:00:00Z");
  }
  const std::string format = opt["--format"];
  if (format != "csv" && format != "json") return Wrong("--format csv or --format json");
  return Export(database, wheel, range, format == "json");
}
