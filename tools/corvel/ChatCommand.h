#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// Prints the chat messages the host sends ("chat SENDER: TEXT"). With TEXT, sends it once
// admitted and leaves unless --seconds keeps it listening.
struct ChatCommand {
  static int run(const ClientOptions& options);
};

}  // namespace corvel::tool
