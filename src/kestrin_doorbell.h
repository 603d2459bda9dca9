// The one way a thread of the bridge waits for another: a doorbell (an eventfd) that the other thread
// rings after it changed what the waiter looks at, and one bounded wait on it. The state it
// accompanies (atomics, or fields under their lock) stays the truth; the doorbell only lets the waiter
// block in poll() instead of spinning on it.
#pragma once

#include <functional>

// A descriptor that a wait serves beside the doorbell: fd() names it (negative: none now), ready()
// runs when it is readable.
struct TServe {
  std::function<int()> fd;
  std::function<void()> ready;
};

class TDoorbell {
 public:
  TDoorbell();
  ~TDoorbell();
  TDoorbell(const TDoorbell&) = delete;
  TDoorbell& operator=(const TDoorbell&) = delete;

  int Fd() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Makes the descriptor readable until Drain(); callable from any thread, library callbacks included.
  void Ring() const noexcept;
  void Drain() const noexcept;

  // Blocks until done() holds (true), nWakeFd becomes readable or nTimeoutMs passes (negative: no
  // limit; only where another bound ends the wait, as the client library's connect time-out does);
  // then false unless done() holds after all. pServe's descriptor is served meanwhile.
  bool WaitFor(const std::function<bool()>& done, int nTimeoutMs, int nWakeFd = -1,
               const TServe* pServe = nullptr) const noexcept;

 private:
  int fd_;
};
