#include "Ambrel_Host/capture/CaptureExclusionList.h"

#include <mutex>

namespace ambrel {

namespace {
struct Shared {
  std::mutex mutex;
  std::set<std::uint32_t> windows;
};
Shared& shared() {
  static Shared instance;
  return instance;
}
}  // namespace

void CaptureExclusionList::replace(std::set<std::uint32_t> windows) {
  auto& s = shared();
  std::lock_guard lock(s.mutex);
  s.windows = std::move(windows);
}

std::set<std::uint32_t> CaptureExclusionList::current() {
  auto& s = shared();
  std::lock_guard lock(s.mutex);
  return s.windows;
}

}  // namespace ambrel
