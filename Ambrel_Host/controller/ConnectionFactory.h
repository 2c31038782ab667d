#pragma once

#include <memory>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>

#include "Ambrel_Host/controller/ClientConnection.h"

namespace corvel::security {
class SecureIdentity;
}
namespace corvel::net {
class QuicStream;
}

namespace ambrel {

// Makes the host's side of an accepted TCP or QUIC connection.
class ConnectionFactory {
 public:
  virtual ~ConnectionFactory() = default;
  // A connection keyed with `secret`, which is the code `source` names. Not started.
  virtual std::shared_ptr<ClientConnection> make(boost::asio::ip::tcp::socket socket,
                                                 std::string_view secret, KeySource source) = 0;
  // The same for a connection the QUIC listener accepted (a hole-punched path). A factory that
  // speaks only TCP closes it and makes nothing.
  virtual std::shared_ptr<ClientConnection> make(std::shared_ptr<corvel::net::QuicStream> stream,
                                                 std::string_view secret, KeySource source);

  // TLS with the code's key and the secure handshake proving `identity` (nullptr: the shared
  // identity).
  static std::shared_ptr<ConnectionFactory> corvel(const corvel::security::SecureIdentity* identity);
};

}  // namespace ambrel
