#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "CorvelKit/base/Executors.h"
#include "CorvelKit/diagnostics/Diagnostics.h"

namespace corvel::diagnostics {

// Every `interval` (a day by default) saves one metrics payload for the time since the last:
// {"kind": "metrics", "timeStampBegin", "timeStampEnd", "app", "version", "buildID",
//  "cpuSeconds", "residentBytes", "peakResidentBytes", "frames", "sessions"}
// with the process's CPU time in that period, its memory now and at its peak, and the frames
// sent and sessions started in the period, as `activity` counts them (running totals).
// Runs on `executor`; `activity` is called there.
class MetricsRecorder : public std::enable_shared_from_this<MetricsRecorder> {
 public:
  struct Activity {
    std::uint64_t frames = 0;
    std::uint64_t sessions = 0;
  };

  MetricsRecorder(Executor executor, Diagnostics& diagnostics, std::function<Activity()> activity,
                  std::chrono::milliseconds interval = std::chrono::hours(24));
  ~MetricsRecorder();

  void start();
  void stop();
  // Saves the payload of the period so far and starts a new period.
  void record();

  // The process's figures right now, as the payload carries them.
  static double cpuSeconds();
  static std::uint64_t residentBytes(bool peak);

 private:
  struct Timer;
  void schedule();

  Executor executor_;
  Diagnostics& diagnostics_;
  std::function<Activity()> activity_;
  std::chrono::milliseconds interval_;
  std::unique_ptr<Timer> timer_;
  long long periodStart_ = 0;
  double cpuAtStart_ = 0;
  Activity activityAtStart_;
};

}  // namespace corvel::diagnostics
