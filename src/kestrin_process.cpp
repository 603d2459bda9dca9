#include "kestrin_process.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace process {
namespace {

// Rung once a stop is requested; never drained. Never destroyed either: the signal thread may ring it
// until the very end of the process.
const TDoorbell& gStop = *new TDoorbell;
std::atomic<bool> gStopRequested{false};
std::atomic<bool> gRestartNoticed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop must stay async-signal-safe");

}  // namespace

void TakeStopSignals(bool bRestartNotice) noexcept {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  if (bRestartNotice) sigaddset(&stopSignals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  try {
    std::thread([stopSignals] {
      for (;;) {
        int nSignal;
        if (sigwait(&stopSignals, &nSignal) != 0) continue;
        if (nSignal == SIGUSR1)
          gRestartNoticed = true;
        else
          RequestStop();
      }
    }).detach();
  } catch (...) {
    // Without the thread the signals stay blocked; restore them so that they still end the process.
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  }
}

void RequestStop() noexcept {
  gStopRequested = true;
  gStop.Ring();
}

bool StopRequested() noexcept { return gStopRequested; }

bool RestartNoticed() noexcept { return gRestartNoticed; }

int StopDescriptor() noexcept { return gStop.Fd(); }

bool WaitForStop(int nTimeoutMs) noexcept {
  pollfd fd = {gStop.Fd(), POLLIN, 0};
  int nReady;
  while ((nReady = poll(&fd, 1, nTimeoutMs)) < 0 && errno == EINTR) {
  }
  return nReady > 0;
}

}  // namespace process
