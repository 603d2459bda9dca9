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

#include "kestrin_cmdline.h"
#include "kestrin_console.h"
#include "kestrin_control.h"
#include "kestrin_credentials.h"
#include "kestrin_process.h"

namespace {

constexpr int kExitFailure = 255;
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

int Finish(int nStatus) {
  console::Flush(kFinalFlushMs);
  return nStatus;
}

}  // namespace

int main(int argc, char* argv[]) {
  const cmdline::TCommandLine commandLine = cmdline::Parse(cmdline::TProgram::kConsole, argc, argv);
  if (commandLine.action != cmdline::TAction::kRun)
    return Finish(cmdline::Answer(cmdline::TProgram::kConsole, commandLine));
  TInitData initData{};
  std::snprintf(initData.pSerialFileName, sizeof initData.pSerialFileName, "%s", commandLine.pDevice);

  // The broker account, for a broker that asks for one: read from a file so that the password is
  // neither on the command line nor in the environment.
  if (const char* pPath = std::getenv(kCredentialVariable); pPath != nullptr && *pPath != '\0') {
    const int rc = credentials::ReadCredentials(pPath);
    if (rc != 0) {
      console::Print("Cannot read the broker account from %s (%s): %s\n", pPath, kCredentialVariable,
                     credentials::CredentialsFailure());
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
  control::Shutdown(hControl);
  return Finish(0);
}
