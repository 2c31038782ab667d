#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// The host's clipboard. With TEXT (or --text-file), puts it on the host's clipboard once
// admitted and leaves, unless --seconds keeps it listening. Without, waits for the host's next
// clipboard text and leaves. Every text that arrives is announced ("clipboard N bytes") and
// written to --into FILE, or else printed.
struct ClipboardCommand {
  static int run(const ClientOptions& options);
};

}  // namespace corvel::tool
