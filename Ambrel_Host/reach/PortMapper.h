#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Executors.h"

namespace ambrel {

// Asks the home router, over NAT-PMP, to forward a TCP port of its external address to the host's
// listening port, and keeps the mapping: renewed halfway through each lease, asked again after a
// failure, and removed on stop. A router that doesn't answer or refuses only leaves the external
// endpoint empty; nothing here is an error the user has to see.
//
// Lives on its executor: every call and every callback there.
class PortMapper {
 public:
  struct External {
    std::string address;  // dotted IPv4
    std::uint16_t port = 0;
    friend bool operator==(const External&, const External&) = default;
  };
  using ChangeHandler = std::function<void(const std::optional<External>&)>;

  struct Options {
    // The router to ask; by default the kernel's default route's, read at each attempt.
    std::function<std::optional<std::string>()> gateway;
    std::uint16_t gatewayPort = 5351;
    // A request is sent again after 250 ms, then twice as long each time, 9 times in all.
    std::chrono::milliseconds firstRetry{250};
    int attempts = 9;
    std::uint32_t lifetime = 7200;  // seconds asked for
    // After a failure (no router, no answer, refused): when to try again.
    std::chrono::seconds retryAfterFailure{300};
  };

  PortMapper(corvel::Executor executor, std::shared_ptr<corvel::Clock> clock, Options options);
  ~PortMapper();
  PortMapper(const PortMapper&) = delete;
  PortMapper& operator=(const PortMapper&) = delete;

  // Told every change of the external endpoint, losing it included (not on stop).
  void setChangeHandler(ChangeHandler handler) { onChange_ = std::move(handler); }
  // Maps `port` (replacing any earlier mapping of this object).
  void start(std::uint16_t port);
  // Removes the mapping (one request, not waited for) and forgets the endpoint.
  void stop();
  const std::optional<External>& external() const { return external_; }

 private:
  struct Exchange;
  void begin();
  void receive(const std::weak_ptr<Exchange>& exchange);
  void send(corvel::Bytes request, std::uint8_t opcode, int attempt);
  void answered(corvel::ByteView datagram);
  void mapped(const std::string& address, std::uint16_t port, std::uint32_t lifetime);
  void failed(const char* why);
  void setExternal(std::optional<External> value);

  corvel::Executor executor_;
  std::shared_ptr<corvel::Clock> clock_;
  Options options_;
  ChangeHandler onChange_;
  std::shared_ptr<Exchange> exchange_;  // the socket toward the router, while one is open
  std::unique_ptr<corvel::Timer> timer_;
  std::uint16_t internalPort_ = 0;
  bool running_ = false;
  std::string address_;  // the router's external address, once told
  std::optional<External> external_;
};

}  // namespace ambrel
