#include "kestrin_cmdline.h"

#include <cstdio>
#include <cstring>

#include "kestrin_broker.h"
#include "kestrin_console.h"

namespace cmdline {
namespace {

// The candidates as runs of numbered devices.
struct TRun {
  const char* pPrefix;
  int nFirst, nLast;
};
constexpr TRun kRuns[] = {{"/dev/ttyUSB", 0, 4}, {"/dev/ttyS", 0, 4}};

constexpr int kConsoleUsageError = 255;  // the console program's -1
constexpr int kServiceUsageError = 2;

const char* Name(TProgram program) {
  return program == TProgram::kConsole ? "kestrin_bridge" : "kestrin_bridged";
}

// What both programs' --help say alike: what the bridge does, then pOwnLines, then the operand and
// the options, each part followed by a blank line.
void PrintDescription(const char* pOwnLines) {
  std::printf(
      "Reads the 42-byte status frames of a roulette wheel controller on DEVICE (19200 baud, 8N2) and\n"
      "publishes each as a JSON document with QoS 1 to the MQTT broker %s, topic\n"
      "/rng/roulette/kestrin_live/<wheel serial>/gameStatus.\n"
      "%s"
      "\n"
      "  DEVICE      the wheel's serial device, e.g. /dev/ttyUSB0 or /dev/serial/by-id/usb-...; \"AUTO\"\n"
      "              or \"auto\" tries %s\n"
      "  -h, --help  print this and exit\n"
      "  --version   print the name and version and exit\n"
      "\n",
      broker::Uri(), pOwnLines, CandidatesText(false).c_str());
}

void PrintConsoleHelp() {
  std::printf(
      "Usage: kestrin_bridge [DEVICE]\n"
      "  or:  kestrin_bridge IGNORED DEVICE\n"
      "  or:  kestrin_bridge -h|--help|--version\n");
  PrintDescription(
      "It prints a report of each frame. Without DEVICE it looks for the wheel, as \"AUTO\" does.\n");
  std::printf(
      "For a broker that asks for a user name and password, set KESTRIN_BROKER_ACCOUNT to a file whose\n"
      "first line is USER:PASSWORD (on a wheel box: /etc/credstore/kestrin-bridge.broker, as root);\n"
      "one that cannot be read ends the program with status 255.\n"
      "\n"
      "ENTER, end of input, SIGINT, SIGTERM or SIGHUP disconnect, stop the worker and restore the port.\n"
      "A device that cannot be opened is reported on standard error, every other line on standard\n"
      "output. To run it as a service, use kestrin_bridged.\n"
      "\n"
      "Exit status:\n"
      "  0    after the orderly shutdown (also after a failed start-up)\n"
      "  255  wrong command line, or a broker account that cannot be read\n");
}

void PrintServiceHelp() {
  std::printf(
      "Usage: kestrin_bridged DEVICE\n"
      "  or:  kestrin_bridged -h|--help|--version|--print-key|--tell-restart\n");
  PrintDescription(
      "This is the bridge for a service manager such as systemd (Type=notify): it counts as started at\n"
      "once, and the wait for the wheel and the broker shows in its status line. Its lines go to standard\n"
      "output, a device that cannot be opened to standard error; when they are the journal, each line\n"
      "carries its priority (\"<N>\", sd-daemon(3)): debug for the lines of every frame, warning for a\n"
      "frame or a delivery in trouble, err for a failed start-up. Standard input is never read.\n");
  std::printf(
      "The broker account, if the broker asks for one, is the line USER:PASSWORD of the file \"broker\"\n"
      "in $CREDENTIALS_DIRECTORY (systemd's LoadCredential=); without it the bridge connects without one.\n"
      "\n"
      "It speaks MQTT 5: every document carries the user properties seq (the wheel's document number),\n"
      "epoch (its start count) and captured (when its frame came, UTC), and replayed=1 when it is\n"
      "published again. Every document is kept in the wheel's journal, in $KESTRIN_JOURNAL_DIRECTORY,\n"
      "else $STATE_DIRECTORY (systemd's StateDirectory=), else /var/lib/kestrin-bridge, until the site\n"
      "confirms it on /rng/roulette/kestrin_live/<serial>/ledger; at each start what the site has not\n"
      "confirmed is published again, in order. KESTRIN_JOURNAL_DIRECTORY=none: no journal, MQTT 3.1.1\n"
      "and no properties.\n"
      "\n"
      "With the box key (the PEM file $KESTRIN_BOX_KEY, else \"box.key\" in $CREDENTIALS_DIRECTORY) every\n"
      "document is chained and signed: user properties prev, sig and key. Without one the documents go\n"
      "unsigned, said once. The site's checkpoints on the ledger topic are checked with the site's key,\n"
      "$KESTRIN_SITE_VKEY, else \"site.vkey\" in $CREDENTIALS_DIRECTORY, and kept beside the journal.\n"
      "  --print-key  print the box key's verifier key line and fingerprint, for the site, and exit\n"
      "\n"
      "Beside the documents it publishes how it is (state, since when, counts), retained, on\n"
      "/rng/roulette/kestrin_live/<serial>/bridgeStatus: on each change, else once a minute, \"stopped\" at\n"
      "a stop, and \"offline\" through its last will when it vanishes.\n"
      "\n"
      "SIGTERM, SIGINT or SIGHUP disconnect, stop the worker and restore the port; after SIGUSR1 (a\n"
      "restart: the next start takes the port over from systemd's file descriptor store) the port keeps\n"
      "the bridge's settings.\n"
      "  --tell-restart  for the unit's ExecStop= as root: when systemd's job for the unit is a restart,\n"
      "                  send SIGUSR1 to $MAINPID, say so in one line, and exit with status 0\n"
      "\n"
      "Exit status:\n"
      "  0  stopped by a signal\n"
      "  1  start-up failed (no frame, broker unreachable, ...) or the bridge stopped publishing\n"
      "  2  wrong command line\n");
}

void PrintServiceUsage() {
  std::fprintf(stderr, "Usage: kestrin_bridged DEVICE (a serial device, or AUTO); --help says more\n");
}

}  // namespace

const char* const kCandidatePorts[kCandidates] = {
    "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4",
    "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyS2",   "/dev/ttyS3",   "/dev/ttyS4"};

std::string CandidatesText(bool bShort) {
  std::string text;
  for (const TRun& run : kRuns) {
    const std::string first = run.pPrefix + std::to_string(run.nFirst);
    if (!text.empty()) text += bShort ? " and " : ", then ";
    text += bShort ? first + "-" + std::to_string(run.nLast)
                   : first + " to " + run.pPrefix + std::to_string(run.nLast);
  }
  return text;
}

bool IsAuto(const char* pDevice) noexcept {
  return std::strcmp(pDevice, "AUTO") == 0 || std::strcmp(pDevice, "auto") == 0;
}

TCommandLine Parse(TProgram program, int argc, char* argv[]) noexcept {
  TCommandLine c;
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    c.action = TAction::kHelp;
    return c;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    c.action = TAction::kVersion;
    return c;
  }
  if (program == TProgram::kService && argc == 2 && std::strcmp(argv[1], "--print-key") == 0) {
    c.action = TAction::kPrintKey;
    return c;
  }
  if (program == TProgram::kService && argc == 2 && std::strcmp(argv[1], "--tell-restart") == 0) {
    c.action = TAction::kTellRestart;
    return c;
  }
  // An option it does not know is a mistake, not a device. The console program's first of two
  // arguments stays ignored, whatever it is, as it always was.
  const bool bCountFits = program == TProgram::kConsole ? argc <= 3 : argc == 2;
  if (bCountFits && argc >= 2 && argv[argc - 1][0] == '-') {
    c.action = TAction::kUnknownOption;
    c.pArgument = argv[argc - 1];
    return c;
  }
  if (!bCountFits) {
    c.action = TAction::kWrongCount;
    return c;
  }
  if (argc >= 2) c.pDevice = argv[argc - 1];
  if (std::strlen(c.pDevice) > kMaxDevice) c.action = TAction::kTooLong;
  return c;
}

int Answer(TProgram program, const TCommandLine& c) noexcept {
  const bool bConsole = program == TProgram::kConsole;
  switch (c.action) {
    case TAction::kHelp:
      bConsole ? PrintConsoleHelp() : PrintServiceHelp();
      return 0;
    case TAction::kVersion:
      std::printf("%s %s\n", Name(program), KESTRIN_VERSION);
      return 0;
    case TAction::kUnknownOption:
      if (bConsole) {
        std::fprintf(stderr,
                     "kestrin_bridge: unknown option %s\nUsage: kestrin_bridge [DEVICE]; --help says more\n",
                     c.pArgument);
        return kConsoleUsageError;
      }
      std::fprintf(stderr, "kestrin_bridged: unknown option %s\n", c.pArgument);
      PrintServiceUsage();
      return kServiceUsageError;
    case TAction::kWrongCount:
      if (bConsole) {
        console::Print("Invalid number of parameters\n");
        return kConsoleUsageError;
      }
      PrintServiceUsage();
      return kServiceUsageError;
    case TAction::kTooLong:
      if (bConsole) {
        console::Print("Device name too long: at most %zu characters\n", kMaxDevice);
        return kConsoleUsageError;
      }
      std::fprintf(stderr, "Device name too long: at most %zu characters\n", kMaxDevice);
      return kServiceUsageError;
    case TAction::kRun:
    case TAction::kPrintKey:
    case TAction::kTellRestart:
      break;
  }
  return 0;
}

}  // namespace cmdline
