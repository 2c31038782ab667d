#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Ambrel_Host/shell/UpdateRelease.h"

namespace ambrel {

// A modal question the update check puts to the person at the computer: a message, an
// explanation and its buttons, first button first. What each button does is the checker's
// (`UpdateChecker::respond`).
struct UpdateAlert {
  enum class Kind {
    update,    // "Download Update" / "Open Download Page", "Remind Me Later", "Skip This Version"
    upToDate,  // "OK"
    failure,   // "OK", "Open Download Page"
  };

  Kind kind = Kind::upToDate;
  std::string message;
  std::string informative;
  std::vector<std::string> buttons;
  std::optional<UpdateRelease> release;  // the offered build, for `update`
};

}  // namespace ambrel
