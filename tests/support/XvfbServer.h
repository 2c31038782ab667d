#pragma once

#include <memory>
#include <string>

namespace corvel::test {

class ChildProcess;

// A private X server (Xvfb) for one test, on a free display number from :90 up (tests running side
// by side each get their own), stopped at the end of the test.
class XvfbServer {
 public:
  explicit XvfbServer(const std::string& screen = "1280x800x24");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", or empty when the server didn't start.
  const std::string& displayName() const { return displayName_; }
  bool isRunning() const { return !displayName_.empty(); }
  // What the server wrote to its standard error, for failure messages.
  std::string errors() const;
  // Stops the server now.
  void stop();

 private:
  std::unique_ptr<ChildProcess> process_;
  std::string displayName_;
};

}  // namespace corvel::test
