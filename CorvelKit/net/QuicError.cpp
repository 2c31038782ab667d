#include "CorvelKit/net/QuicError.h"

#include <string>

namespace corvel::net {

namespace {

class QuicCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "quic"; }
  std::string message(int value) const override {
    switch (static_cast<QuicErrc>(value)) {
      case QuicErrc::tlsFailure: return "TLS handshake failed";
      case QuicErrc::handshakeTimeout: return "QUIC handshake timed out";
      case QuicErrc::idleTimeout: return "QUIC connection idle for too long";
      case QuicErrc::protocolError: return "QUIC protocol error";
      case QuicErrc::streamReset: return "QUIC stream reset by the peer";
      case QuicErrc::aborted: return "QUIC connection closed";
      case QuicErrc::closed: return "QUIC peer closed the connection";
    }
    return "unknown QUIC error";
  }
};

}  // namespace

const std::error_category& quicCategory() {
  static const QuicCategory category;
  return category;
}

std::error_code make_error_code(QuicErrc e) { return {static_cast<int>(e), quicCategory()}; }

}  // namespace corvel::net
