#include "kestrin_console.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
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

// Whether two descriptors lead to one file (standard output and error on one terminal, or both the
// journal's stream): then a line on one is continued or ended by text on the other.
bool SameFile(int fdA, int fdB) {
  struct stat a {}, b {};
  return fstat(fdA, &a) == 0 && fstat(fdB, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class TWriter {
 public:
  TWriter()
      : bell_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        timer_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
        pErrStream_(SameFile(STDOUT_FILENO, STDERR_FILENO) ? &outStream_ : &errStream_) {
    std::thread([this] { Run(); }).detach();
  }

  void Push(int fd, int nLevel, bool bFrame, bool bPrompt, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t nLines = LinesIn(text);
    // Frame lines and events have room of their own, so a flood of frames never costs an event line.
    std::size_t& nQueued = bFrame ? nFrameLines_ : nEventLines_;
    if (nQueued + nLines > (bFrame ? kQueueLines : kEventLines) || (bFrame && pGap_ != nullptr)) {
      // One gap per batch of the writer, and one notice in its place, rather than a notice between
      // every few lines of a slow console.
      if (pGap_ == nullptr) {
        queue_.push_back({STDOUT_FILENO, kWarning, false, false, std::string(), 0, 0});
        pGap_ = &queue_.back();  // a deque keeps its elements in place when it grows at the end
        ++nPushed_;
      }
      pGap_->nDropped += nLines;
      return;
    }
    queue_.push_back({fd, nLevel, bFrame, bPrompt, std::move(text), nLines, 0});
    nQueued += nLines;
    ++nPushed_;
    // An event goes out at once; the lines of a frame wait for the rest of the frame, unless there are
    // so many that the writer had better start.
    if (!bFrame || nFrameLines_ >= kQueueLines / 4)
      RingLocked();
    else if (!bRung_ && !bArmed_)
      ArmLocked();
  }

  bool Flush(int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long long nTarget = nPushed_;
    if (nWritten_ < nTarget) RingLocked();
    return written_.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                             [&] { return nWritten_ >= nTarget; });
  }

 private:
  struct TEntry {
    int fd;
    int nLevel;
    bool bFrame;
    bool bPrompt;
    std::string text;
    std::size_t nLines;    // what the entry counts against the bound
    std::size_t nDropped;  // a gap: how many lines were dropped in its place
  };
  // Where the writer stands on one output file.
  struct TStream {
    bool bLineStart = true;  // the last text written ended its line
    bool bPrompt = false;    // the open line is a prompt
    int nLevel = kInfo;      // the priority of the open line
  };

  void RingLocked() {
    if (bRung_) return;
    bRung_ = true;
    const std::uint64_t one = 1;
    ssize_t ignored = write(bell_, &one, sizeof one);
    (void)ignored;
  }
  void ArmLocked() {
    bArmed_ = true;
    itimerspec when{};
    when.it_value.tv_sec = kFrameLinesMs / 1000;
    when.it_value.tv_nsec = kFrameLinesMs % 1000 * 1000000L;
    timerfd_settime(timer_, 0, &when, nullptr);
  }

  [[noreturn]] void Run() {
    pthread_setname_np(pthread_self(), "kestrinconsole");  // its own line in top and the benchmark
    for (;;) {
      pollfd fds[2] = {{bell_, POLLIN, 0}, {timer_, POLLIN, 0}};
      // Without its descriptors (none left at start-up) the writer looks at the queue ten times a second.
      const int nTimeoutMs = bell_ < 0 || timer_ < 0 ? 100 : -1;
      if (poll(fds, 2, nTimeoutMs) < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::uint64_t nCount;
      for (const pollfd& fd : fds)
        if (fd.revents & POLLIN) {
          ssize_t ignored = read(fd.fd, &nCount, sizeof nCount);
          (void)ignored;
        }
      const bool bTimerFired = fds[1].revents & POLLIN;
      std::deque<TEntry> batch;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(queue_);
        pGap_ = nullptr;  // closed: its count is final once taken
        bRung_ = false;
        // A timer left armed would wake the writer again for nothing.
        if (bArmed_ && !bTimerFired) {
          const itimerspec never{};
          timerfd_settime(timer_, 0, &never, nullptr);
        }
        bArmed_ = false;
      }
      if (batch.empty()) continue;
      Write(batch);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        // The batch counted against the bound until it was out.
        for (const TEntry& entry : batch) (entry.bFrame ? nFrameLines_ : nEventLines_) -= entry.nLines;
        nWritten_ += batch.size();
      }
      written_.notify_all();
    }
  }

  // Writes the batch with one write per file (and per change between them), each line with its
  // priority before it when that is switched on.
  void Write(std::deque<TEntry>& batch) {
    std::string out;
    int nOutFd = STDOUT_FILENO;
    for (TEntry& entry : batch) {
      const int fd = entry.fd == STDERR_FILENO ? STDERR_FILENO : STDOUT_FILENO;
      TStream& stream = fd == STDERR_FILENO ? *pErrStream_ : outStream_;
      if (entry.nDropped > 0)
        entry.text = "Console output stalled; " + std::to_string(entry.nDropped) + " lines were dropped\n";
      if (entry.text.empty()) continue;
      if (fd != nOutFd) {
        WriteAll(nOutFd, out);
        out.clear();
        nOutFd = fd;
      }
      // Nothing is glued to a prompt, a notice of dropped lines to nothing, and in the journal nothing
      // to a line of another priority.
      if (!stream.bLineStart && entry.text.front() != '\n' &&
          (stream.bPrompt || entry.nDropped > 0 || (gPrefix && stream.nLevel != entry.nLevel)))
        Append(out, stream, stream.nLevel, "\n");
      Append(out, stream, entry.nLevel, entry.text);
      stream.bPrompt = entry.bPrompt && !stream.bLineStart;
    }
    WriteAll(nOutFd, out);
  }

  // Appends text for one file; with priorities, each line it begins starts with its own.
  static void Append(std::string& out, TStream& stream, int nLevel, const std::string& text) {
    if (!gPrefix) {
      out += text;
      stream.bLineStart = text.back() == '\n';
      return;
    }
    const char prefix[] = {'<', static_cast<char>('0' + nLevel), '>', '\0'};
    for (char c : text) {
      if (stream.bLineStart) {
        out += prefix;
        stream.nLevel = nLevel;
      }
      out += c;
      stream.bLineStart = c == '\n';
    }
  }

  const int bell_;   // eventfd: rung for a line that goes out at once, and by Flush
  const int timer_;  // timerfd: armed by the first frame line of a batch
  std::mutex mutex_;
  std::condition_variable written_;
  std::deque<TEntry> queue_;
  TEntry* pGap_ = nullptr;      // the open gap, the last entry that counts dropped lines
  std::size_t nFrameLines_ = 0;  // queued or being written
  std::size_t nEventLines_ = 0;
  bool bRung_ = false;
  bool bArmed_ = false;
  unsigned long long nPushed_ = 0;
  unsigned long long nWritten_ = 0;
  // The writer's own.
  TStream outStream_;
  TStream errStream_;
  TStream* const pErrStream_;  // errStream_, or outStream_ when both are one file
};

// Never destroyed: its thread may be blocked on a stalled console when the process ends.
TWriter& Writer() {
  static TWriter* pWriter = new TWriter;
  return *pWriter;
}

std::string Format(const char* pFormat, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int nLength = std::vsnprintf(small, sizeof small, pFormat, copy);
  va_end(copy);
  if (nLength < 0) return std::string();
  if (static_cast<std::size_t>(nLength) < sizeof small) return std::string(small, static_cast<std::size_t>(nLength));
  std::string text(static_cast<std::size_t>(nLength) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), pFormat, args);
  text.resize(static_cast<std::size_t>(nLength));
  return text;
}

void Queue(int fd, int nLevel, bool bFrame, const char* pFormat, va_list args) noexcept {
  try {
    std::string text = Format(pFormat, args);
    if (!text.empty()) Writer().Push(fd, nLevel, bFrame, false, std::move(text));
  } catch (...) {
  }
}

}  // namespace

#define KESTRIN_CONSOLE_LEVEL(Name, fd, nLevel, bFrame) \
  void Name(const char* pFormat, ...) noexcept {        \
    va_list args;                                       \
    va_start(args, pFormat);                            \
    Queue(fd, nLevel, bFrame, pFormat, args);           \
    va_end(args);                                       \
  }
KESTRIN_CONSOLE_LEVEL(Print, STDOUT_FILENO, kInfo, false)
KESTRIN_CONSOLE_LEVEL(Debug, STDOUT_FILENO, kDebug, true)
KESTRIN_CONSOLE_LEVEL(Notice, STDOUT_FILENO, kNotice, false)
KESTRIN_CONSOLE_LEVEL(Warning, STDOUT_FILENO, kWarning, false)
KESTRIN_CONSOLE_LEVEL(Err, STDOUT_FILENO, kErr, false)
KESTRIN_CONSOLE_LEVEL(FrameWarning, STDOUT_FILENO, kWarning, true)
KESTRIN_CONSOLE_LEVEL(Error, STDERR_FILENO, kNotice, false)
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

void Prompt(const char* pText) noexcept {
  try {
    if (pText != nullptr && *pText != '\0') Writer().Push(STDOUT_FILENO, kInfo, false, true, pText);
  } catch (...) {
  }
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
