#pragma once

#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

// Watches a host's video: decodes every `video` message and shows it in a window that also sends
// the pointer and keyboard used in it (or, headless, only decodes), prints once a second the
// pictures decoded, the bit rate received and the keyframes, at the end the totals, and records
// the stream when asked. The host's sound is played (headless: decoded and counted) and written
// to a WAV file when asked.
struct ViewCommand {
  static int run(const ViewOptions& options);
};

}  // namespace corvel::tool
