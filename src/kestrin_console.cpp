#include "kestrin_console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace console {
namespace {

// A program started with standard input, output or error closed would hand those numbers to the
// first descriptors it opens (an eventfd made during static initialisation among them), and then
// read its ENTER from a doorbell or print into it. Runs before every ordinary static initialiser.
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

// Writes all of text or gives up on a descriptor that fails (a terminal hung up, a closed pipe).
void WriteAll(int fd, const std::string& text) {
  std::size_t nDone = 0;
  while (nDone < text.size()) {
    ssize_t n = write(fd, text.data() + nDone, text.size() - nDone);
    if (n > 0) {
      nDone += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd out = {fd, POLLOUT, 0};  // standard output inherited non-blocking
      poll(&out, 1, -1);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

class TWriter {
 public:
  TWriter() { std::thread([this] { Run(); }).detach(); }

  void Push(int fd, std::string text) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.size() >= kQueueLines) {
        ++nDropped_;
        return;
      }
      queue_.push_back({fd, std::move(text)});
      ++nPushed_;
    }
    queued_.notify_one();
  }

  bool Flush(int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long long nTarget = nPushed_;
    return written_.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                             [&] { return nWritten_ >= nTarget; });
  }

 private:
  struct TEntry {
    int fd;
    std::string text;
  };

  [[noreturn]] void Run() {
    for (;;) {
      TEntry entry;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [&] { return !queue_.empty(); });
        entry = std::move(queue_.front());
        queue_.pop_front();
      }
      WriteAll(entry.fd, entry.text);
      unsigned long long nDropped;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++nWritten_;
        nDropped = nDropped_;
        nDropped_ = 0;
      }
      written_.notify_all();
      // The console took a line again: say what it missed while it was stalled.
      if (nDropped > 0)
        WriteAll(STDOUT_FILENO, "Console output stalled; " + std::to_string(nDropped) + " lines were dropped\n");
    }
  }

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable written_;
  std::deque<TEntry> queue_;
  unsigned long long nPushed_ = 0;
  unsigned long long nWritten_ = 0;
  unsigned long long nDropped_ = 0;
};

// Never destroyed: its thread may be blocked on a stalled console when the process ends.
TWriter& Writer() {
  static TWriter* pWriter = new TWriter;
  return *pWriter;
}

void Queue(int fd, const char* pFormat, va_list args) noexcept {
  try {
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int nLength = std::vsnprintf(small, sizeof small, pFormat, copy);
    va_end(copy);
    if (nLength < 0) return;
    std::string text;
    if (static_cast<std::size_t>(nLength) < sizeof small) {
      text.assign(small, static_cast<std::size_t>(nLength));
    } else {
      text.resize(static_cast<std::size_t>(nLength) + 1);
      std::vsnprintf(text.data(), text.size(), pFormat, args);
      text.resize(static_cast<std::size_t>(nLength));
    }
    Writer().Push(fd, std::move(text));
  } catch (...) {
  }
}

}  // namespace

void Print(const char* pFormat, ...) noexcept {
  va_list args;
  va_start(args, pFormat);
  Queue(STDOUT_FILENO, pFormat, args);
  va_end(args);
}

void Error(const char* pFormat, ...) noexcept {
  va_list args;
  va_start(args, pFormat);
  Queue(STDERR_FILENO, pFormat, args);
  va_end(args);
}

void Perror(const char* pPrefix) noexcept {
  const int nError = errno;
  char reason[128];
  // The GNU strerror_r returns the text, which need not be in the buffer.
  const char* pReason = strerror_r(nError, reason, sizeof reason);
  if (pPrefix != nullptr && *pPrefix != '\0')
    Error("%s: %s\n", pPrefix, pReason);
  else
    Error("%s\n", pReason);
}

bool Flush(int nTimeoutMs) noexcept {
  try {
    return Writer().Flush(nTimeoutMs);
  } catch (...) {
    return false;
  }
}

}  // namespace console
