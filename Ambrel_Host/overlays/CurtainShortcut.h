#pragma once

#include <functional>
#include <memory>
#include <string>

#include "CorvelKit/base/Executors.h"

namespace ambrel {

// Ctrl+Alt+Super+period at the computer, grabbed on the X display while the curtain is up: the
// way for the person in the room to end the session. Exactly those modifiers (Caps Lock and Num
// Lock aside); with Shift as well it does nothing. Lives on `executor`.
class CurtainShortcut {
 public:
  // Null when the display can't be reached or has no period key.
  static std::unique_ptr<CurtainShortcut> create(corvel::Executor executor, const std::string& displayName,
                                                 std::function<void()> pressed);
  ~CurtainShortcut();
  CurtainShortcut(const CurtainShortcut&) = delete;
  CurtainShortcut& operator=(const CurtainShortcut&) = delete;

 private:
  struct State;
  explicit CurtainShortcut(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace ambrel
