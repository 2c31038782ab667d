#pragma once

#include <optional>
#include <string>

namespace ambrel {

// Whether the host starts when the person logs in.
class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual bool isEnabled() const = 0;
  // An error sentence when the change couldn't be made.
  virtual std::optional<std::string> setEnabled(bool on) = 0;
};

}  // namespace ambrel
