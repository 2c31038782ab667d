#pragma once

#include <string>
#include <vector>

#include "Ambrel_Host/shell/ControlCommands.h"

namespace ambrel {

class UpdateChecker;

// `ambrel-host update [status|check|skip]`: what the update check knows, a new check (the
// command line waits for its end), and skipping the newer build the last check found.
struct UpdateCommand {
  // On the running host's executor. "check" only starts the check: its result comes with
  // "status", which says "Checking…" until then.
  static ControlReply run(UpdateChecker& checker, const std::vector<std::string>& args);
  // Without a running host: checks right here against the settings file's feed and waits.
  static ControlReply offline(const std::vector<std::string>& args);
  // Whether a status reply says a check is still under way.
  static bool stillChecking(const ControlReply& reply);

  static constexpr const char* usageText = "usage: ambrel-host update [status|check|skip]";
};

}  // namespace ambrel
