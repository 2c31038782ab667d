#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "CorvelKit/base/Executors.h"
#include "CorvelKit/diagnostics/Diagnostics.h"

namespace corvel::diagnostics {

// Watches one executor (the controller's) from a thread of its own: it posts a beat there and,
// when a beat waits longer than `threshold`, saves one hang report for that stall:
// {"kind": "hang", "timestamp", "app", "version", "buildID", "queue", "blockedMilliseconds"}.
// A stall is reported once, however long it lasts.
class HangWatchdog {
 public:
  HangWatchdog(Executor executor, Diagnostics& diagnostics, std::string queueLabel,
               std::chrono::milliseconds threshold = std::chrono::seconds(2));
  ~HangWatchdog();
  HangWatchdog(const HangWatchdog&) = delete;
  HangWatchdog& operator=(const HangWatchdog&) = delete;

  void start();
  void stop();

  int reportedHangs() const { return reported_.load(); }

 private:
  void watch();

  Executor executor_;
  Diagnostics& diagnostics_;
  const std::string label_;
  const std::chrono::milliseconds threshold_;

  struct Beat {
    std::mutex mutex;
    bool answered = true;
  };
  std::shared_ptr<Beat> beat_ = std::make_shared<Beat>();
  std::atomic<int> reported_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace corvel::diagnostics
