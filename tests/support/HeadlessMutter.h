#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

class ChildProcess;

// A GNOME (mutter) Wayland desktop of the test's own, with no screen: a private session bus,
// PipeWire with its session manager, and `mutter --headless` with one virtual monitor per size
// given ("800x600"), the first the primary one. mutter refuses to run as root, so under root all of
// it runs as "nobody" in a folder handed to that user; the bus lets any user in, so the tests and
// a host running as root reach it (and PipeWire's socket) all the same.
class HeadlessMutter {
 public:
  explicit HeadlessMutter(std::vector<std::string> monitors);
  ~HeadlessMutter();
  HeadlessMutter(const HeadlessMutter&) = delete;
  HeadlessMutter& operator=(const HeadlessMutter&) = delete;

  // mutter, PipeWire and WirePlumber are installed.
  static bool available();

  // The desktop is up: mutter's remote-desktop interfaces are on the bus.
  bool isRunning() const { return running_; }
  const std::string& errors() const { return errors_; }

  // The environment of a program in this desktop's session (a Wayland session without X).
  std::map<std::string, std::string> environment() const;
  const std::string& busAddress() const { return busAddress_; }

 private:
  std::unique_ptr<ChildProcess> start(const std::string& program, std::vector<std::string> args);
  bool waitForMutter();

  TemporaryFolder folder_;
  std::string busAddress_;
  std::string user_;  // "uid:gid" to run as, or empty
  std::unique_ptr<ChildProcess> bus_, pipewire_, wireplumber_, mutter_;
  bool running_ = false;
  std::string errors_;
};

}  // namespace corvel::test
