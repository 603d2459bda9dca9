// kestrin_bridge: publishes the status frames of a roulette wheel controller to an MQTT broker.
//   kestrin_bridge            find the wheel's port among the usual serial devices
//   kestrin_bridge DEVICE     use DEVICE ("AUTO" or "auto": find it)
//   kestrin_bridge X DEVICE   the same; X is ignored
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "kestrin_control.h"

namespace {

constexpr int kExitFailure = -1;  // seen by the shell as 255

// SIGINT and SIGTERM are taken by a thread of their own with sigwait(), so no handler interrupts the
// bridge's threads and the stop request runs as ordinary code. Must run before any other thread
// starts, so that every thread inherits the blocked mask.
void StartSignalThread() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::thread([stopSignals] {
    for (;;) {
      int nSignal;
      if (sigwait(&stopSignals, &nSignal) == 0) control::RequestStop();
    }
  }).detach();
  signal(SIGPIPE, SIG_IGN);  // a closed console must not kill the bridge mid-shutdown
}

// Waits up to nTimeoutMs (negative: no limit) for a stop; true when one was requested.
bool WaitForStop(int nTimeoutMs) {
  pollfd fd = {control::StopDescriptor(), POLLIN, 0};
  int nReady;
  while ((nReady = poll(&fd, 1, nTimeoutMs)) < 0 && errno == EINTR) {
  }
  return nReady > 0;
}

// Waits for one character on standard input (end of input or a closed descriptor counts) or a stop.
void WaitForEnterOrStop() {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {control::StopDescriptor(), POLLIN, 0}};
  for (;;) {
    int nReady = poll(fds, 2, -1);
    if (nReady < 0 && errno == EINTR) continue;
    if (nReady < 0 || (fds[1].revents & POLLIN)) return;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      char c;
      ssize_t n;
      while ((n = read(STDIN_FILENO, &c, 1)) < 0 && errno == EINTR) {
      }
      return;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  // Console lines come from several threads and may go to a pipe; keep each line whole and prompt.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const char* pDevice = "AUTO";
  if (argc == 2) {
    pDevice = argv[1];
  } else if (argc == 3) {
    pDevice = argv[2];
  } else if (argc > 3) {
    printf("Invalid number of parameters\n");
    return kExitFailure;
  }

  TInitData initData{};
  if (std::strlen(pDevice) >= sizeof initData.pSerialFileName) {
    printf("Device name too long: at most %zu characters\n", sizeof initData.pSerialFileName - 1);
    return kExitFailure;
  }
  std::strcpy(initData.pSerialFileName, pDevice);

  StartSignalThread();
  ThKestrinControl hControl = control::Init(&initData);

  WaitForStop(1000);
  std::cout << "Press ENTER to exit..." << std::flush;
  WaitForEnterOrStop();

  if (control::ConnectionAbandoned()) {
    control::Destroy(hControl);
    return kExitFailure;
  }
  printf("\n");
  std::cout << "Destroying control layer class instance... " << std::flush;
  control::Destroy(hControl);
  printf("done\n");
  return 0;
}
