#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

class ChildProcess;

// A private Xorg server with the dummy video driver, for tests that need several RandR monitors
// (Xvfb has one output and cannot be split). Its outputs DUMMY0…DUMMY15 are arranged with
// xrandr. Display numbers come from :300 up, so it never meets the Xvfb servers of other tests.
class XorgDummyServer {
 public:
  XorgDummyServer();
  ~XorgDummyServer();
  XorgDummyServer(const XorgDummyServer&) = delete;
  XorgDummyServer& operator=(const XorgDummyServer&) = delete;

  struct Monitor {
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
  };

  // ":N", or empty when the server didn't start.
  const std::string& displayName() const { return displayName_; }
  bool isRunning() const { return !displayName_.empty(); }
  // The server's log, for failure messages.
  std::string errors() const;

  // Lights DUMMY0…DUMMYn-1 with the given sizes and positions (the first is the primary
  // monitor), turns the rest off and sizes the screen to hold them. Empty on success, else what
  // xrandr said.
  std::string arrange(const std::vector<Monitor>& monitors);

 private:
  std::string xrandr(std::vector<std::string> args);
  TemporaryFolder folder_;
  std::unique_ptr<ChildProcess> process_;
  std::string displayName_;
};

}  // namespace corvel::test
