#include "kestrin_process.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "kestrin_control.h"

namespace process {

void TakeStopSignals() noexcept {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  try {
    std::thread([stopSignals] {
      for (;;) {
        int nSignal;
        if (sigwait(&stopSignals, &nSignal) == 0) control::RequestStop();
      }
    }).detach();
  } catch (...) {
    // Without the thread the signals stay blocked; restore them so that they still end the process.
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  }
}

bool WaitForStop(int nTimeoutMs) noexcept {
  pollfd fd = {control::StopDescriptor(), POLLIN, 0};
  int nReady;
  while ((nReady = poll(&fd, 1, nTimeoutMs)) < 0 && errno == EINTR) {
  }
  return nReady > 0;
}

}  // namespace process
