#include "kestrin_console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// syslog priorities, as sd-daemon(3) spells them.
constexpr int kErr = 3;
constexpr int kWarning = 4;
constexpr int kNotice = 5;
constexpr int kInfo = 6;
constexpr int kDebug = 7;

std::atomic<bool> gPrefix{false};

std::size_t LinesIn(const std::string& text) {
  const auto n = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  return n > 0 ? n : 1;  // a part of a line still takes its place in the queue
}

class TWriter {
 public:
  TWriter() { std::thread([this] { Run(); }).detach(); }

  void Push(int fd, int nLevel, std::string text) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::size_t nLines = LinesIn(text);
      // Once the bound is hit, lines are dropped until the writer has caught up by half of it: one
      // gap, and one notice in its place, rather than a notice between every few lines of a slow
      // console.
      if (bDropping_ || nQueuedLines_ + nLines > kQueueLines) {
        if (!bDropping_) {
          queue_.push_back({STDOUT_FILENO, kWarning, std::string(), 0, 0});
          ++nPushed_;
          bDropping_ = true;
        }
        queue_.back().nDropped += nLines;
        return;
      }
      queue_.push_back({fd, nLevel, std::move(text), nLines, 0});
      nQueuedLines_ += nLines;
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
    int nLevel;
    std::string text;
    std::size_t nLines;    // what the entry counts against the bound
    std::size_t nDropped;  // a gap: how many lines were dropped in its place
  };

  [[noreturn]] void Run() {
    for (;;) {
      TEntry entry;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [&] { return !queue_.empty(); });
        entry = std::move(queue_.front());
        queue_.pop_front();
        // The gap is closed only by the writer, so it is still the last entry while lines are dropped.
        if (entry.nDropped == 0) nQueuedLines_ -= entry.nLines;
        if (bDropping_ && nQueuedLines_ <= kQueueLines / 2) bDropping_ = false;
      }
      if (entry.nDropped > 0) {
        entry.text = std::string(bLineStart_[STDOUT_FILENO] ? 0 : 1, '\n') + "Console output stalled; " +
                     std::to_string(entry.nDropped) + " lines were dropped\n";
      }
      Write(entry);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++nWritten_;
      }
      written_.notify_all();
    }
  }

  // Writes the entry, with its priority before each line that it begins when that is switched on.
  void Write(const TEntry& entry) {
    bool& bLineStart = bLineStart_[entry.fd == STDERR_FILENO ? STDERR_FILENO : STDOUT_FILENO];
    if (entry.text.empty()) return;
    if (!gPrefix) {
      WriteAll(entry.fd, entry.text);
    } else {
      const char prefix[] = {'<', static_cast<char>('0' + entry.nLevel), '>', '\0'};
      std::string out;
      for (char c : entry.text) {
        if (bLineStart) out += prefix;
        out += c;
        bLineStart = c == '\n';
      }
      WriteAll(entry.fd, out);
    }
    bLineStart = entry.text.back() == '\n';
  }

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable written_;
  std::deque<TEntry> queue_;
  std::size_t nQueuedLines_ = 0;
  bool bDropping_ = false;
  unsigned long long nPushed_ = 0;
  unsigned long long nWritten_ = 0;
  bool bLineStart_[3] = {true, true, true};  // the writer's own: whether fd 1 and 2 stand at a line start
};

// Never destroyed: its thread may be blocked on a stalled console when the process ends.
TWriter& Writer() {
  static TWriter* pWriter = new TWriter;
  return *pWriter;
}

void Queue(int fd, int nLevel, const char* pFormat, va_list args) noexcept {
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
    Writer().Push(fd, nLevel, std::move(text));
  } catch (...) {
  }
}

}  // namespace

#define KESTRIN_CONSOLE_LEVEL(Name, fd, nLevel)   \
  void Name(const char* pFormat, ...) noexcept { \
    va_list args;                                \
    va_start(args, pFormat);                     \
    Queue(fd, nLevel, pFormat, args);            \
    va_end(args);                                \
  }
KESTRIN_CONSOLE_LEVEL(Print, STDOUT_FILENO, kInfo)
KESTRIN_CONSOLE_LEVEL(Debug, STDOUT_FILENO, kDebug)
KESTRIN_CONSOLE_LEVEL(Notice, STDOUT_FILENO, kNotice)
KESTRIN_CONSOLE_LEVEL(Warning, STDOUT_FILENO, kWarning)
KESTRIN_CONSOLE_LEVEL(Err, STDOUT_FILENO, kErr)
KESTRIN_CONSOLE_LEVEL(Error, STDERR_FILENO, kNotice)
#undef KESTRIN_CONSOLE_LEVEL

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

void PrefixPriorities() noexcept { gPrefix = true; }

bool Flush(int nTimeoutMs) noexcept {
  try {
    return Writer().Flush(nTimeoutMs);
  } catch (...) {
    return false;
  }
}

}  // namespace console
