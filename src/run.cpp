// kestrin_bridge: publishes the status frames of a roulette wheel controller to an MQTT broker.
//   kestrin_bridge            find the wheel's port among the usual serial devices
//   kestrin_bridge DEVICE     use DEVICE ("AUTO" or "auto": find it)
//   kestrin_bridge X DEVICE   the same; X is ignored
//   kestrin_bridge -h|--help  usage
//   kestrin_bridge --version  name and version
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrin_console.h"
#include "kestrin_control.h"
#include "kestrin_process.h"
#include "kestrin_usage.h"

namespace {

constexpr int kExitFailure = -1;  // seen by the shell as 255
// Names the file holding the broker account, "USER:PASSWORD".
constexpr char kCredentialVariable[] = "KESTRIN_BROKER_ACCOUNT";
// How long the last lines may take to reach a console before the process ends without them.
constexpr int kFinalFlushMs = 2000;

// Waits for one character on standard input (end of input or a closed descriptor counts) or a stop.
void WaitForEnterOrStop() {
  // In the background of a shell the terminal refuses reads (EIO, as SIGTTIN is ignored); stdin is then
  // looked at again once a second, so ENTER works once the job is brought to the foreground.
  bool bBackground = false;
  for (;;) {
    pollfd fds[2] = {{process::StopDescriptor(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int nReady = poll(fds, bBackground ? 1 : 2, bBackground ? 1000 : -1);
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady < 0 || (fds[0].revents & POLLIN)) return;
    bBackground = false;
    if (nReady > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
      char c;
      ssize_t n;
      while ((n = read(STDIN_FILENO, &c, 1)) < 0 && errno == EINTR) {
      }
      if (n < 0 && errno == EIO && isatty(STDIN_FILENO)) {
        bBackground = true;
        continue;
      }
      return;
    }
  }
}

void PrintHelp() {
  std::printf(
      "Usage: kestrin_bridge [DEVICE]\n"
      "  or:  kestrin_bridge IGNORED DEVICE\n"
      "  or:  kestrin_bridge -h|--help|--version\n");
  usage::PrintDescription(
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

int Finish(int nStatus) {
  console::Flush(kFinalFlushMs);
  return nStatus;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    PrintHelp();
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kestrin_bridge %s\n", KESTRIN_VERSION);
    return 0;
  }
  const char* pDevice = "AUTO";
  // An option it does not know is a mistake, not a device. The first of two arguments stays ignored,
  // whatever it is, as it always was.
  if ((argc == 2 || argc == 3) && argv[argc - 1][0] == '-') {
    std::fprintf(stderr, "kestrin_bridge: unknown option %s\nUsage: kestrin_bridge [DEVICE]; --help says more\n",
                 argv[argc - 1]);
    return kExitFailure;
  }
  if (argc == 2) {
    pDevice = argv[1];
  } else if (argc == 3) {
    pDevice = argv[2];
  } else if (argc > 3) {
    console::Print("Invalid number of parameters\n");
    return Finish(kExitFailure);
  }

  TInitData initData{};
  if (std::strlen(pDevice) >= sizeof initData.pSerialFileName) {
    console::Print("Device name too long: at most %zu characters\n", sizeof initData.pSerialFileName - 1);
    return Finish(kExitFailure);
  }
  std::strcpy(initData.pSerialFileName, pDevice);

  // The broker account, for a broker that asks for one: read from a file so that the password is
  // neither on the command line nor in the environment.
  if (const char* pPath = std::getenv(kCredentialVariable); pPath != nullptr && *pPath != '\0') {
    const int rc = control::ReadCredentials(pPath);
    if (rc != 0) {
      console::Print("Cannot read the broker account from %s (%s): %s\n", pPath, kCredentialVariable,
                     control::CredentialsFailure());
      return Finish(kExitFailure);
    }
  }

  process::TakeStopSignals();
  ThKestrinControl hControl = control::Init(&initData);
  if (hControl == nullptr && control::StartRefusal() != 0)
    console::Print("Start-up failed: %s\n", control::StartFailure());

  process::WaitForStop(1000);
  console::Prompt("Press ENTER to exit...");
  WaitForEnterOrStop();

  console::Print("\n");
  console::Print("Destroying control layer class instance... ");
  control::Destroy(hControl);
  console::Print("done\n");
  return Finish(0);
}
