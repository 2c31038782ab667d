#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// `text` and `screenshot`: ask the host for what its screen shows, once admitted and again every
// two seconds until it answers (its picture may not be there yet), then leave. `text` prints
// "frontmost: APP" and a "line: …" per line; `screenshot` writes the JPEG to FILE and prints
// its size. Fails (status 1) without an answer within --seconds (30 unless given).
struct ScreenRequestCommand {
  static int text(const ClientOptions& options);
  static int screenshot(const ClientOptions& options);
};

}  // namespace corvel::tool
