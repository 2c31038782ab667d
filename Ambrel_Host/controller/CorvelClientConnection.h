#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "Ambrel_Host/controller/ClientConnection.h"

namespace corvel::net {
class CorvelConnection;
class QuicStream;
}
namespace corvel::security {
class SecureIdentity;
}

namespace ambrel {

// A client's connection over TLS keyed with an access code and the secure handshake: the host's
// side of a CorvelConnection, which it makes when started.
class CorvelClientConnection final : public ClientConnection {
 public:
  CorvelClientConnection(boost::asio::ip::tcp::socket socket, std::string_view secret,
                         KeySource source, const corvel::security::SecureIdentity* identity);
  // Over a QUIC stream the QUIC listener accepted.
  CorvelClientConnection(std::shared_ptr<corvel::net::QuicStream> stream, std::string_view secret,
                         KeySource source, const corvel::security::SecureIdentity* identity);
  ~CorvelClientConnection() override;

  void start(ConnectionEvents events) override;
  void send(corvel::protocol::MessageType type, corvel::ByteView payload,
            Completion completion) override;
  void cancel() override;
  void detach() override;

  KeySource keySource() const override { return source_; }
  std::optional<std::string> peerFingerprint() const override;
  bool isSecure() const override;
  bool failedSecurity(const corvel::net::ConnectionState& state) const override;
  corvel::net::ConnectionRoute route() const override;

 private:
  std::shared_ptr<corvel::net::CorvelConnection> connection() const;

  const KeySource source_;
  const corvel::security::SecureIdentity* const identity_;
  mutable std::mutex mutex_;  // guards the fields below
  std::optional<boost::asio::ip::tcp::socket> socket_;  // until started
  std::shared_ptr<corvel::net::QuicStream> quic_;       // until started, on QUIC paths
  std::string secret_;                                   // until started
  std::shared_ptr<corvel::net::CorvelConnection> connection_;
  bool cancelled_ = false;
};

}  // namespace ambrel
