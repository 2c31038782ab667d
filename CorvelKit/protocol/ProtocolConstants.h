#pragma once

#include <cstdint>
#include <string_view>

namespace corvel::protocol {

// The default TCP port of the host.
inline constexpr std::uint16_t corvelDefaultPort = 5895;
// The service type under which the host advertises itself on the local network.
inline constexpr std::string_view corvelServiceType = "_corvel._tcp";
// The protocol version this library speaks (sent by clients in Hello.protocolVersion).
inline constexpr int corvelProtocolVersion = 2;

}  // namespace corvel::protocol
