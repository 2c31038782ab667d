#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "CorvelKit/net/CorvelConnection.h"

namespace corvel::net {

// HOST, HOST:PORT or [IPv6]:PORT, with `defaultPort` when none is given; nothing for an empty
// host or a port that is not 1...65535.
std::optional<Endpoint> parseEndpoint(std::string_view text, std::uint16_t defaultPort);

}  // namespace corvel::net
