#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

class ChildProcess;

// A private sound server for one test: a 48 kHz stereo null sink as the default output, reachable
// only through a Unix socket in a temporary folder, never exiting while idle. The server refuses
// to run as root outside system mode, so under root its folder goes to "nobody" and it runs as
// that user (setpriv). It can be stopped and started again on the same socket.
class PulseServer {
 public:
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool isRunning() const { return server_ != nullptr; }
  const std::string& errors() const { return errors_; }
  // For PULSE_SERVER, or a client's server argument.
  std::string address() const { return "unix:" + socket_.string(); }
  static constexpr const char* sinkName = "corvel_test";

  bool start();
  void stop();

 private:
  TemporaryFolder folder_;
  std::filesystem::path socket_;
  std::filesystem::path config_;
  std::string user_;  // "uid:gid" to run as, or empty
  std::unique_ptr<ChildProcess> server_;
  std::string errors_;
};

}  // namespace corvel::test
