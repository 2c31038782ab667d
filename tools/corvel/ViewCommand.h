#pragma once

#include <optional>
#include <string>

namespace corvel::tool {

struct ViewOptions {
  std::string target;  // HOST, HOST:PORT or [IPv6]:PORT
  std::string code;
  std::string deviceName = "corvel view";
  std::optional<int> frames;          // leave after this many decoded pictures
  std::optional<int> seconds;         // or after this long
  std::optional<std::string> record;  // movie file for the received stream
};

// Watches a host's video without a window: decodes every `video` message, prints once a second
// the pictures decoded and the bit rate received, and at the end the totals.
struct ViewCommand {
  static int run(const ViewOptions& options);
};

}  // namespace corvel::tool
