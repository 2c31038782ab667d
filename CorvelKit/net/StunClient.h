#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "CorvelKit/base/Executors.h"
#include "CorvelKit/net/Stun.h"

namespace corvel::net {

// Asks a STUN server which public address a UDP port of this computer has.
class StunClient {
 public:
  struct Discovery {
    StunReflexive reflexive;
    // The local UDP port the request left from (reusable by whoever punches or listens on it).
    std::uint16_t localPort = 0;
  };
  using Handler = std::function<void(std::optional<Discovery>)>;

  // A public server, and the port STUN servers conventionally answer on.
  static constexpr const char* defaultServerHost = "stun.l.google.com";
  static constexpr std::uint16_t defaultServerPort = 19302;
  static constexpr const char* defaultServer = "stun.l.google.com:19302";

  // Sends one binding request from `localPort` (0: any free port; the socket allows address
  // reuse) to `serverHost`:`serverPort` and calls `handler` once, on a strand of `executor`: with
  // the address of the first answer, or with nothing when the name doesn't resolve, the send
  // fails, the answer doesn't parse or `timeout` passes first. Whatever comes later is ignored.
  static void discover(Executor executor, std::string serverHost, std::uint16_t serverPort,
                       std::chrono::milliseconds timeout, Handler handler,
                       std::uint16_t localPort = 0);
};

}  // namespace corvel::net
