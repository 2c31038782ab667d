#pragma once

#include <map>
#include <mutex>

#include "CorvelKit/base/Clock.h"

namespace corvel {

// A clock that moves only when told to. `advance` moves time forward and posts, in time order,
// every scheduled call that has come due to its executor. Thread-safe.
class ManualClock final : public Clock, public std::enable_shared_from_this<ManualClock> {
 public:
  explicit ManualClock(WallTime wallStart = std::chrono::system_clock::now());

  TimePoint now() const override;
  WallTime wallNow() const override;
  std::unique_ptr<Timer> schedule(Executor executor, Duration delay,
                                  std::function<void()> work) override;

  void advance(Duration by);
  // Number of calls scheduled and neither due nor cancelled yet.
  std::size_t pendingCount() const;

 private:
  struct Entry {
    Executor executor;
    std::function<void()> work;
  };
  class ManualTimer;
  void cancel(std::uint64_t id);

  mutable std::mutex mutex_;
  TimePoint now_;
  WallTime wallStart_;
  TimePoint start_;
  std::uint64_t nextId_ = 0;
  std::multimap<TimePoint, std::uint64_t> due_;
  std::map<std::uint64_t, Entry> entries_;
};

}  // namespace corvel
