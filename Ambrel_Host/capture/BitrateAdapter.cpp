#include "Ambrel_Host/capture/BitrateAdapter.h"

#include <algorithm>

namespace ambrel {

std::optional<std::int64_t> BitrateAdapter::closeWindow(double skipRatio) {
  std::int64_t next = current_;
  if (skipRatio > 0.1) {
    next = std::max(static_cast<std::int64_t>(static_cast<double>(current_) * 0.7), floor);
    cleanWindows_ = 0;
  } else if (skipRatio == 0.0) {
    // Not reset after a raise: every further clean window raises again until the target.
    if (++cleanWindows_ < 3) return std::nullopt;
    next = std::min(static_cast<std::int64_t>(static_cast<double>(current_) * 1.15), target_);
  }
  if (next == current_) return std::nullopt;
  current_ = next;
  return next;
}

}  // namespace ambrel
