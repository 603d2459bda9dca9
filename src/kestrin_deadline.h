// A time limit for poll(): "no limit" or a point on the monotonic clock.
#pragma once

#include <chrono>

class TDeadline {
 public:
  // nTimeoutMs from now; negative: no limit.
  explicit TDeadline(int nTimeoutMs)
      : bUnlimited_(nTimeoutMs < 0), end_(Clock::now() + std::chrono::milliseconds(nTimeoutMs)) {}

  // Milliseconds left for poll(): -1 without a limit, 0 once passed, rounded up so that poll never
  // wakes early.
  int PollTimeout() const {
    if (bUnlimited_) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool Passed() const { return PollTimeout() == 0; }

 private:
  using Clock = std::chrono::steady_clock;
  bool bUnlimited_;
  Clock::time_point end_;
};
