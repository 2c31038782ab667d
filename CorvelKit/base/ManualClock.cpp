#include "CorvelKit/base/ManualClock.h"

#include <atomic>
#include <vector>

namespace corvel {

class ManualClock::ManualTimer final : public Timer {
 public:
  ManualTimer(std::weak_ptr<ManualClock> clock, std::uint64_t id,
              std::shared_ptr<std::atomic<bool>> cancelled)
      : clock_(std::move(clock)), id_(id), cancelled_(std::move(cancelled)) {}
  ~ManualTimer() override { cancel(); }
  void cancel() override {
    *cancelled_ = true;  // also stops a call that came due but has not run yet
    if (auto c = clock_.lock()) c->cancel(id_);
  }

 private:
  std::weak_ptr<ManualClock> clock_;
  std::uint64_t id_;
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

ManualClock::ManualClock(WallTime wallStart)
    : now_(TimePoint{} + std::chrono::hours(1)), wallStart_(wallStart), start_(now_) {}

Clock::TimePoint ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Clock::WallTime ManualClock::wallNow() const {
  std::lock_guard lock(mutex_);
  return wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(now_ - start_);
}

std::unique_ptr<Timer> ManualClock::schedule(Executor executor, Duration delay,
                                             std::function<void()> work) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto guarded = [cancelled, work = std::move(work)] {
    if (!*cancelled) work();
  };
  std::lock_guard lock(mutex_);
  auto id = nextId_++;
  entries_.emplace(id, Entry{std::move(executor), std::move(guarded)});
  due_.emplace(now_ + delay, id);
  return std::make_unique<ManualTimer>(weak_from_this(), id, std::move(cancelled));
}

void ManualClock::cancel(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  entries_.erase(id);
}

void ManualClock::advance(Duration by) {
  std::vector<Entry> fired;
  {
    std::lock_guard lock(mutex_);
    now_ += by;
    while (!due_.empty() && due_.begin()->first <= now_) {
      auto id = due_.begin()->second;
      due_.erase(due_.begin());
      if (auto it = entries_.find(id); it != entries_.end()) {
        fired.push_back(std::move(it->second));
        entries_.erase(it);
      }
    }
  }
  for (auto& e : fired) asio::post(e.executor, std::move(e.work));
}

std::size_t ManualClock::pendingCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace corvel
