#include "kestrin_doorbell.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "kestrin_deadline.h"

namespace {

// A program started with standard input, output or error closed would hand those numbers to the
// first descriptors it opens (the stop doorbell, made during static initialisation, among them), and
// then read its ENTER from a doorbell or print into it. Runs before every ordinary static initialiser;
// it lives beside the doorbell so that whatever links a doorbell links the guard too.
__attribute__((constructor(101))) void ReserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int nNull = open("/dev/null", (fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    if (nNull >= 0 && nNull != fd) {
      dup2(nNull, fd);  // the standard descriptors themselves are inherited: no O_CLOEXEC on them
      close(nNull);
    } else if (nNull == fd) {
      fcntl(fd, F_SETFD, 0);
    }
  }
}

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

bool TDoorbell::WaitFor(const std::function<bool()>& done, int nTimeoutMs, int nWakeFd,
                        const TServe* pServe) const noexcept {
  try {
    const TDeadline deadline(nTimeoutMs);
    while (!done()) {
      if (deadline.Passed()) return false;
      const int nServeFd = pServe && pServe->fd ? pServe->fd() : -1;
      pollfd fds[3] = {{fd_, POLLIN, 0}, {nWakeFd, POLLIN, 0}, {nServeFd, POLLIN, 0}};
      const int nReady = poll(fds, 3, deadline.PollTimeout());  // poll() skips negative descriptors
      if (nReady < 0 && errno != EINTR) return done();
      if (nWakeFd >= 0 && (fds[1].revents & POLLIN)) return done();
      if (nServeFd >= 0 && fds[2].revents && pServe->ready) pServe->ready();
      if (fds[0].revents) Drain();
    }
    return true;
  } catch (...) {
    return false;
  }
}
