#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// Takes the files the host sends into a folder (the current one unless --into names another),
// under safe names that replace nothing, and prints each one that arrives; leaves after --files
// files, on the host's bye, a signal or when --seconds are up.
struct ReceiveCommand {
  static int run(const ClientOptions& options);
};

}  // namespace corvel::tool
