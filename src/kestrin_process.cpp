#include "kestrin_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace process {
namespace {

// A program started with standard input, output or error closed would hand those numbers to the
// first descriptors it opens (the stop doorbell below, made during static initialisation, among them),
// and then read its ENTER from a doorbell or print into it. Runs before every ordinary static
// initialiser. It lives beside the doorbell so that whatever links the doorbell links the guard too.
__attribute__((constructor(101))) void ReserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int nNull = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (nNull >= 0 && nNull != fd) {
      dup2(nNull, fd);
      close(nNull);
    }
  }
}

// Rung once a stop is requested; never drained. Never destroyed either: the signal thread may ring it
// until the very end of the process.
const TDoorbell& gStop = *new TDoorbell;
std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop must stay async-signal-safe");

}  // namespace

TDoorbell::TDoorbell() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TDoorbell::~TDoorbell() {
  if (fd_ >= 0) close(fd_);
}

void TDoorbell::Ring() const noexcept {
  const std::uint64_t one = 1;
  ssize_t ignored = write(fd_, &one, sizeof one);
  (void)ignored;
}

void TDoorbell::Drain() const noexcept {
  std::uint64_t count;
  ssize_t ignored = read(fd_, &count, sizeof count);
  (void)ignored;
}

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
        if (sigwait(&stopSignals, &nSignal) == 0) RequestStop();
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

int StopDescriptor() noexcept { return gStop.Fd(); }

bool WaitForStop(int nTimeoutMs) noexcept {
  pollfd fd = {gStop.Fd(), POLLIN, 0};
  int nReady;
  while ((nReady = poll(&fd, 1, nTimeoutMs)) < 0 && errno == EINTR) {
  }
  return nReady > 0;
}

}  // namespace process
