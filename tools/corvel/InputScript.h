#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "CorvelKit/protocol/InputEvent.h"

namespace corvel::tool {

// Scripted input for tests and demos, steps separated by ";":
//   move X Y            pointer to fractions of the display (0…1)
//   click [BUTTON]      press and release where the pointer is (left, right or middle)
//   down|up [BUTTON]    press or release only
//   key CODE [FLAGS]    a key press and release by virtual key code, with modifier flags
//   type TEXT           type the rest of the step
//   scroll DX DY        wheel steps
//   wait MS             pause
struct InputScript {
  using Step = std::variant<protocol::InputEvent, std::chrono::milliseconds>;
  std::vector<Step> steps;

  // The script, or an error sentence.
  static std::variant<InputScript, std::string> parse(std::string_view text);
};

}  // namespace corvel::tool
