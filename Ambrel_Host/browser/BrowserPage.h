#pragma once

#include <string_view>

namespace ambrel {

// The viewer page (resources/browser-viewer.html), compiled into the program at build time.
struct BrowserPage {
  static std::string_view html();
};

}  // namespace ambrel
