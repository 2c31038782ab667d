#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "CorvelKit/base/Executors.h"

namespace corvel {

// A pending call made by a Clock. Cancelling it, or dropping the handle, means the call never
// happens (if it has not begun already).
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void cancel() = 0;
};

// Every time rule (watchdogs, silence, idle, lockouts, freshness) reads time through a Clock, so
// tests can run them on a ManualClock in milliseconds.
class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;
  using WallTime = std::chrono::system_clock::time_point;

  virtual ~Clock() = default;

  // Monotonic time, for intervals.
  virtual TimePoint now() const = 0;
  // Calendar time, for records and dates on the wire.
  virtual WallTime wallNow() const = 0;
  // Posts `work` to `executor` once `delay` has passed on this clock.
  [[nodiscard]] virtual std::unique_ptr<Timer> schedule(Executor executor, Duration delay,
                                                        std::function<void()> work) = 0;

  // The real clocks, with Asio timers.
  static std::shared_ptr<Clock> system();
};

}  // namespace corvel
