#include "CorvelKit/diagnostics/HangWatchdog.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "CorvelKit/diagnostics/CivilTime.h"

namespace corvel::diagnostics {

HangWatchdog::HangWatchdog(Executor executor, Diagnostics& diagnostics, std::string queueLabel,
                           std::chrono::milliseconds threshold)
    : executor_(std::move(executor)), diagnostics_(diagnostics), label_(std::move(queueLabel)), threshold_(threshold) {}

HangWatchdog::~HangWatchdog() { stop(); }

void HangWatchdog::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { watch(); });
}

void HangWatchdog::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void HangWatchdog::watch() {
  using Clock = std::chrono::steady_clock;
  const auto tick = std::max(threshold_ / 4, std::chrono::milliseconds(5));
  Clock::time_point sentAt = Clock::now();
  bool reportedThisStall = false;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    bool answered;
    {
      std::lock_guard beatLock(beat_->mutex);
      answered = beat_->answered;
      if (answered) beat_->answered = false;
    }
    if (answered) {
      // The last beat came through: send the next one.
      reportedThisStall = false;
      sentAt = Clock::now();
      boost::asio::post(executor_, [beat = beat_] {
        std::lock_guard beatLock(beat->mutex);
        beat->answered = true;
      });
    } else if (!reportedThisStall && Clock::now() - sentAt > threshold_) {
      reportedThisStall = true;
      const auto blocked = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sentAt);
      const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
      nlohmann::ordered_json report;
      report["kind"] = "hang";
      report["timestamp"] = CivilTime::iso8601(now);
      report["app"] = diagnostics_.identity().app;
      report["version"] = diagnostics_.identity().versionText();
      report["buildID"] = diagnostics_.identity().buildID;
      report["queue"] = label_;
      report["blockedMilliseconds"] = blocked.count();
      lock.unlock();
      diagnostics_.save({report.dump(2)}, Diagnostics::diagnosticKind);
      ++reported_;
      lock.lock();
    }
    wake_.wait_for(lock, tick, [this] { return stopping_; });
  }
}

}  // namespace corvel::diagnostics
