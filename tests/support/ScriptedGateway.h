#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/UniqueFd.h"

namespace corvel::test {

// A home router's NAT-PMP port, scripted by the test: every request is recorded with its time,
// and the answer (if any) is the script's.
class ScriptedGateway {
 public:
  struct Request {
    Bytes bytes;
    std::chrono::steady_clock::time_point at;
  };
  using Script = std::function<std::optional<Bytes>(const Bytes& request)>;

  // A router whose external address is `external` and that grants every mapping on `grantedPort`
  // for `lifetime` seconds.
  static Script granting(const std::string& external, std::uint16_t grantedPort,
                         std::uint32_t lifetime);

  // Listens on `address`:`port` (0: a free port).
  ScriptedGateway(const std::string& address, std::uint16_t port, Script script);
  ~ScriptedGateway();
  ScriptedGateway(const ScriptedGateway&) = delete;
  ScriptedGateway& operator=(const ScriptedGateway&) = delete;

  bool isBound() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }

  // Waits until `count` requests have come; all of them.
  std::vector<Request> waitFor(std::size_t count, std::chrono::milliseconds timeout);
  void setScript(Script script);

 private:
  void serve();

  UniqueFd fd_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Request> requests_;
  Script script_;
  std::thread thread_;
};

}  // namespace corvel::test
