#pragma once

#include <cstdint>
#include <memory>
#include <unordered_set>

#include "CorvelKit/base/UUID.h"
#include "CorvelKit/diagnostics/MetricsRecorder.h"

namespace ambrel {

class HostController;

// The running totals the metrics payloads report: frames encoded by this process and sessions
// started (clients admitted) since the host started. On the controller's executor.
class HostActivity {
 public:
  explicit HostActivity(std::shared_ptr<HostController> host);
  ~HostActivity();
  HostActivity(const HostActivity&) = delete;
  HostActivity& operator=(const HostActivity&) = delete;

  corvel::diagnostics::MetricsRecorder::Activity read();

 private:
  void count();

  std::shared_ptr<HostController> host_;
  int subscription_ = 0;
  std::uint64_t sessions_ = 0;
  std::unordered_set<corvel::UUID> admitted_;  // admitted clients still listed
};

}  // namespace ambrel
