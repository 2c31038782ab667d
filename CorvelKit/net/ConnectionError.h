#pragma once

#include <system_error>

namespace corvel::net {

// Failures of a connection's own making, with the POSIX numbers peers and logs know them by
// (Linux numbers some of these differently, so they get a category of their own).
enum class ConnectionErrc {
  invalidArgument = 22,       // a payload that could not be encoded
  notConnected = 57,          // sending before the secure channel exists
  authenticationFailed = 80,  // the security layer failed the connection
  noBufferSpace = 55,         // the peer does not read and the send queue is full
  networkUnreachable = 51,    // only a prohibited interface leads to the peer
};

const std::error_category& connectionCategory();
std::error_code make_error_code(ConnectionErrc e);

}  // namespace corvel::net

template <>
struct std::is_error_code_enum<corvel::net::ConnectionErrc> : std::true_type {};
