#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// Sends files to the host once it has admitted this client, one after the other, then leaves.
// Fails (status 1) when any file couldn't be sent or the host refused it.
struct SendCommand {
  static int run(const ClientOptions& options);
};

}  // namespace corvel::tool
