#pragma once

#include <span>
#include <string_view>

namespace ambrel {

// The program's lifecycle: reads the command line, starts the host, runs the main executor until
// SIGINT or SIGTERM, then shuts down in order.
struct Application {
  static int main(std::span<const std::string_view> args);
};

}  // namespace ambrel
