#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// Dials a host, proves the code, prints the host's fingerprint and every message that comes back,
// answers with pings until told to stop.
struct ConnectCommand {
  static int run(const ClientOptions& options);
};

}  // namespace corvel::tool
