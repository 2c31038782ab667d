#pragma once

#include <memory>
#include <optional>
#include <string>

namespace ambrel {

// The browser viewer's server, as the host's logic drives it.
class BrowserAccess {
 public:
  virtual ~BrowserAccess() = default;
  virtual void start(const std::string& accessCode) = 0;
  virtual void stop() = 0;
  // The address a browser opens while the server listens ("https://192.168.1.20:5896").
  virtual std::optional<std::string> address() const { return std::nullopt; }
  // Why it isn't listening although it was started, in words for the person at the computer.
  virtual std::optional<std::string> problem() const { return std::nullopt; }

  // A server that never runs.
  static std::shared_ptr<BrowserAccess> none();
};

}  // namespace ambrel
