#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

class ChildProcess;

// A headless sway (software rendering, no input devices) in a private runtime folder, with one
// output HEADLESS-1 of 1920×1080. sway refuses to run as root, so under root it runs as nobody
// (setpriv); root's clients reach it through the socket's absolute path. Stopped at the end.
class SwayServer {
 public:
  SwayServer();
  ~SwayServer();
  SwayServer(const SwayServer&) = delete;
  SwayServer& operator=(const SwayServer&) = delete;

  bool isRunning() const { return server_ != nullptr; }
  std::string errors() const;
  // The compositor's socket: what WAYLAND_DISPLAY takes.
  const std::filesystem::path& socket() const { return socket_; }
  // WAYLAND_DISPLAY and XDG_RUNTIME_DIR for a client of this compositor.
  std::map<std::string, std::string> clientEnvironment() const;
  // Runs `swaymsg ARGS...`; its standard output, or nothing when it failed.
  std::optional<std::string> message(const std::vector<std::string>& args) const;

 private:
  TemporaryFolder folder_;
  std::filesystem::path runtime_;
  std::filesystem::path socket_;
  std::unique_ptr<ChildProcess> server_;
  std::string errors_;
};

}  // namespace corvel::test
