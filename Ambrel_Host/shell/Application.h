#pragma once

#include <span>
#include <string_view>

#include "Ambrel_Host/shell/Desktop.h"

namespace ambrel {

// The program's lifecycle: reads the command line, starts the host, runs the main executor until
// SIGINT, SIGTERM or Quit, then shuts down in order. With a desktop interface (and a display a
// person sees, and no --headless) the interface runs on this thread and the host on another.
struct Application {
  static int main(std::span<const std::string_view> args, const DesktopFactory& desktop = {});
};

}  // namespace ambrel
