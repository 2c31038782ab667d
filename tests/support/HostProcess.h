#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

// The real `ambrel-host` program for tests and benchmarks, in a home folder of its own (removed
// at the end), started and waited for as a person would run it.
class HostProcess {
 public:
  struct Options {
    // Written as the settings file before the host starts; nothing when empty.
    std::string settings;
    // Beside AMBREL_HOME (DISPLAY, AMBREL_LOG_LEVEL, …).
    std::map<std::string, std::string> environment;
    // What the host prints once it is ready for what the caller wants of it.
    std::string readyText = "Listener: Ready on port 5895";
    std::chrono::milliseconds timeout = std::chrono::seconds(20);
    // The command line: without the desktop interface unless a test asks for it, so no window of
    // the host's covers the screen a test reads.
    std::vector<std::string> arguments = {"--headless"};
  };

  HostProcess(std::string program, Options options);
  // Stops the host if that was not done.
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Whether the ready text came in time and the access code was printed.
  bool isReady() const { return ready_; }
  const std::string& accessCode() const { return accessCode_; }
  const std::string& fingerprint() const { return fingerprint_; }
  const std::filesystem::path& home() const { return home_.path(); }
  ChildProcess& process() { return *process_; }

  // SIGTERM, then the exit status; nothing when it did not end in `timeout` (it is killed then).
  std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  TemporaryFolder home_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<std::optional<int>> stopped_;
  bool ready_ = false;
  std::string accessCode_;
  std::string fingerprint_;
};

}  // namespace corvel::test
