#pragma once

#include <chrono>
#include <cmath>

namespace veltra::forest {

// A search's time limit in seconds, measured on the steady clock from construction; an infinite
// limit never runs out. spent() is asked after each step, so a search stops at the first step
// boundary at or after the limit and always runs its first step.
class TimeBudget {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TimeBudget(double seconds) : unlimited_(std::isinf(seconds)), start_(Clock::now()) {
    if (!unlimited_) limit_ = std::chrono::duration<double>(seconds);
  }

  bool spent() const { return !unlimited_ && Clock::now() - start_ >= limit_; }

 private:
  bool unlimited_;
  Clock::time_point start_;
  std::chrono::duration<double> limit_{0.0};
};

}  // namespace veltra::forest
