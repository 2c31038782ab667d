#pragma once

#include <optional>
#include <string>

#include "CorvelKit/net/CorvelConnection.h"
#include "tools/corvel/InputScript.h"

namespace corvel::tool {

using net::Endpoint;

// Exit statuses of `corvel connect`, so scripts can tell the outcomes apart.
struct ExitCode {
  static constexpr int ok = 0;               // ready, then ended by the host, a signal or the timer
  static constexpr int usage = 64;
  static constexpr int wrongCode = 2;        // TLS refused the code, or the first sealed message
  static constexpr int identityChanged = 3;  // the host's fingerprint differs from the pinned one
  static constexpr int networkFailure = 4;   // never got through to a secure channel
};

struct ConnectOptions {
  std::string target;  // HOST, HOST:PORT or [IPv6]:PORT
  std::string code;
  std::optional<std::string> pin;
  std::optional<std::string> interfaceName;
  std::string deviceName = "corvel";
  std::optional<std::string> deviceID;
  std::optional<std::string> ownerToken;
  std::optional<int> seconds;  // stay this long after ready, then leave
  std::optional<InputScript> input;  // sent once the host has admitted this client
};

// HOST, HOST:PORT or [IPv6]:PORT, with the default port when none is given.
std::optional<Endpoint> parseEndpoint(std::string_view text);

// Dials a host, proves the code, prints the host's fingerprint and every message that comes back,
// answers with pings until told to stop.
struct ConnectCommand {
  static int run(const ConnectOptions& options);
};

}  // namespace corvel::tool
