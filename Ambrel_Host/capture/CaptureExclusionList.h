#pragma once

#include <cstdint>
#include <set>

namespace ambrel {

// The process-wide set of X window ids that capture should leave out (the privacy curtain's
// windows). The curtain replaces the whole set; a capturer reads it once when it starts.
// Reading the root window shows every window, so X11 capture keeps the list but cannot honour it
// yet: the curtain has to arrange its windows so that captured pictures don't show it.
class CaptureExclusionList {
 public:
  static void replace(std::set<std::uint32_t> windows);
  static std::set<std::uint32_t> current();
};

}  // namespace ambrel
