#pragma once

#include <system_error>

namespace corvel::net {

// How a QUIC connection ends other than by an orderly close.
enum class QuicErrc {
  tlsFailure = 1,     // the TLS handshake failed: the peer holds another access code
  handshakeTimeout,   // the handshake did not finish in time
  idleTimeout,        // nothing heard from the peer for the idle time-out
  protocolError,      // the peer broke QUIC's rules, or sent what we cannot handle
  streamReset,        // the peer reset the stream
  aborted,            // closed on this side while an operation was waiting
  closed,             // the peer ended the stream or closed the connection in order
};

const std::error_category& quicCategory();
std::error_code make_error_code(QuicErrc e);

}  // namespace corvel::net

template <>
struct std::is_error_code_enum<corvel::net::QuicErrc> : std::true_type {};
