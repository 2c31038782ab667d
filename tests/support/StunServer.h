#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

class ChildProcess;
class NetworkNamespace;

// A real STUN server (coturn, answering STUN only) on a free UDP port of `address`, for one test.
// Its database and log stay in a temporary folder of its own.
class StunServer {
 public:
  explicit StunServer(std::string address = "127.0.0.1");
  // The same inside `space` (which outlives the server), on one of its addresses.
  StunServer(NetworkNamespace& space, std::string address);
  ~StunServer();
  StunServer(const StunServer&) = delete;
  StunServer& operator=(const StunServer&) = delete;

  // Whether it started and answers binding requests; `errors()` says why not.
  bool isRunning() const { return running_; }
  const std::string& errors() const { return errors_; }
  const std::string& address() const { return address_; }
  std::uint16_t port() const { return port_; }

 private:
  void start(NetworkNamespace* space);

  std::string address_;
  std::uint16_t port_ = 0;
  TemporaryFolder folder_;
  std::unique_ptr<ChildProcess> server_;
  bool running_ = false;
  std::string errors_;
};

}  // namespace corvel::test
