#include "Ambrel_Host/controller/CorvelClientConnection.h"

#include "Ambrel_Host/controller/ConnectionFactory.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/net/QuicStream.h"

namespace ambrel {

using corvel::net::CorvelConnection;

CorvelClientConnection::CorvelClientConnection(boost::asio::ip::tcp::socket socket,
                                               std::string_view secret, KeySource source,
                                               const corvel::security::SecureIdentity* identity)
    : source_(source), identity_(identity), socket_(std::move(socket)), secret_(secret) {}

CorvelClientConnection::CorvelClientConnection(std::shared_ptr<corvel::net::QuicStream> stream,
                                               std::string_view secret, KeySource source,
                                               const corvel::security::SecureIdentity* identity)
    : source_(source), identity_(identity), quic_(std::move(stream)), secret_(secret) {}

CorvelClientConnection::~CorvelClientConnection() {
  if (auto c = connection()) {
    c->cancel();
    c->detach();
  }
  if (quic_) quic_->close();
}

void CorvelClientConnection::start(ConnectionEvents events) {
  CorvelConnection::Handlers handlers;
  handlers.message = [message = std::move(events.message)](corvel::protocol::MessageType type,
                                                           corvel::Bytes& payload) {
    if (message) message(type, payload);
  };
  handlers.state = std::move(events.state);
  std::shared_ptr<CorvelConnection> made;
  {
    std::lock_guard lock(mutex_);
    if ((!socket_ && !quic_) || cancelled_) return;
    if (quic_) {
      made = CorvelConnection::server(std::move(quic_), secret_, std::move(handlers), identity_);
      quic_.reset();
    } else {
      made = CorvelConnection::server(std::move(*socket_), secret_, std::move(handlers), identity_);
    }
    socket_.reset();
    secret_.clear();
    connection_ = made;
  }
  made->start();
}

std::shared_ptr<CorvelConnection> CorvelClientConnection::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void CorvelClientConnection::send(corvel::protocol::MessageType type, corvel::ByteView payload,
                                  Completion completion) {
  if (auto c = connection()) {
    c->send(type, payload, std::move(completion));
  } else if (completion) {
    completion(make_error_code(corvel::net::ConnectionErrc::notConnected));
  }
}

void CorvelClientConnection::cancel() {
  std::shared_ptr<CorvelConnection> c;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    c = connection_;
    if (socket_) {
      boost::system::error_code ignored;
      socket_->close(ignored);
    }
    if (quic_) quic_->close();
  }
  if (c) c->cancel();
}

void CorvelClientConnection::detach() {
  if (auto c = connection()) c->detach();
}

std::optional<std::string> CorvelClientConnection::peerFingerprint() const {
  auto c = connection();
  return c ? c->peerFingerprint() : std::nullopt;
}

bool CorvelClientConnection::isSecure() const {
  auto c = connection();
  return c && c->isSecure();
}

bool CorvelClientConnection::failedSecurity(const corvel::net::ConnectionState& state) const {
  auto c = connection();
  return state.tlsFailure || (c && c->securityFailure().has_value());
}

corvel::net::ConnectionRoute CorvelClientConnection::route() const {
  auto c = connection();
  return c ? c->route() : corvel::net::ConnectionRoute::unknown;
}

namespace {
class CorvelConnectionFactory final : public ConnectionFactory {
 public:
  explicit CorvelConnectionFactory(const corvel::security::SecureIdentity* identity)
      : identity_(identity) {}
  std::shared_ptr<ClientConnection> make(boost::asio::ip::tcp::socket socket,
                                         std::string_view secret, KeySource source) override {
    return std::make_shared<CorvelClientConnection>(std::move(socket), secret, source, identity_);
  }
  std::shared_ptr<ClientConnection> make(std::shared_ptr<corvel::net::QuicStream> stream,
                                         std::string_view secret, KeySource source) override {
    return std::make_shared<CorvelClientConnection>(std::move(stream), secret, source, identity_);
  }

 private:
  const corvel::security::SecureIdentity* identity_;
};
}  // namespace

std::shared_ptr<ClientConnection> ConnectionFactory::make(
    std::shared_ptr<corvel::net::QuicStream> stream, std::string_view, KeySource) {
  if (stream) stream->close();
  return nullptr;
}

std::shared_ptr<ConnectionFactory> ConnectionFactory::corvel(
    const corvel::security::SecureIdentity* identity) {
  return std::make_shared<CorvelConnectionFactory>(identity);
}

}  // namespace ambrel
