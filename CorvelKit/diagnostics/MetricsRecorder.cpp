#include "CorvelKit/diagnostics/MetricsRecorder.h"

#include <sys/resource.h>

#include <fstream>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "CorvelKit/diagnostics/CivilTime.h"

namespace corvel::diagnostics {

namespace {

long long unixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

struct MetricsRecorder::Timer {
  explicit Timer(const Executor& executor) : timer(executor) {}
  boost::asio::steady_timer timer;
};

MetricsRecorder::MetricsRecorder(Executor executor, Diagnostics& diagnostics, std::function<Activity()> activity,
                                 std::chrono::milliseconds interval)
    : executor_(std::move(executor)),
      diagnostics_(diagnostics),
      activity_(std::move(activity)),
      interval_(interval),
      timer_(std::make_unique<Timer>(executor_)) {}

MetricsRecorder::~MetricsRecorder() = default;

double MetricsRecorder::cpuSeconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::uint64_t MetricsRecorder::residentBytes(bool peak) {
  std::ifstream status("/proc/self/status");
  const std::string wanted = peak ? "VmHWM:" : "VmRSS:";
  std::string line;
  while (std::getline(status, line)) {
    if (!line.starts_with(wanted)) continue;
    try {
      return std::stoull(line.substr(wanted.size())) * 1024;  // in kB
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

void MetricsRecorder::start() {
  periodStart_ = unixNow();
  cpuAtStart_ = cpuSeconds();
  activityAtStart_ = activity_ ? activity_() : Activity{};
  schedule();
}

void MetricsRecorder::stop() { timer_->timer.cancel(); }

void MetricsRecorder::schedule() {
  timer_->timer.expires_after(interval_);
  timer_->timer.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) {
      self->record();
      self->schedule();
    }
  });
}

void MetricsRecorder::record() {
  const auto now = unixNow();
  const double cpu = cpuSeconds();
  const auto activity = activity_ ? activity_() : Activity{};
  auto since = [](std::uint64_t total, std::uint64_t start) { return total >= start ? total - start : total; };
  nlohmann::ordered_json payload;
  payload["kind"] = "metrics";
  payload["timeStampBegin"] = CivilTime::iso8601(periodStart_);
  payload["timeStampEnd"] = CivilTime::iso8601(now);
  payload["app"] = diagnostics_.identity().app;
  payload["version"] = diagnostics_.identity().versionText();
  payload["buildID"] = diagnostics_.identity().buildID;
  payload["cpuSeconds"] = std::max(0.0, cpu - cpuAtStart_);
  payload["residentBytes"] = residentBytes(false);
  payload["peakResidentBytes"] = residentBytes(true);
  payload["frames"] = since(activity.frames, activityAtStart_.frames);
  payload["sessions"] = since(activity.sessions, activityAtStart_.sessions);
  diagnostics_.save({payload.dump(2)}, Diagnostics::metricsKind);
  periodStart_ = now;
  cpuAtStart_ = cpu;
  activityAtStart_ = activity;
}

}  // namespace corvel::diagnostics
