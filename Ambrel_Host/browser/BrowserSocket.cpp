#include "Ambrel_Host/browser/BrowserSocket.h"

#include <optional>

#include <openssl/ssl.h>

#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

namespace ambrel {

namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

struct BrowserTlsContext::Impl {
  ssl::context context{ssl::context::tls_server};
};

BrowserTlsContext::BrowserTlsContext() : impl_(std::make_unique<Impl>()) {}
BrowserTlsContext::~BrowserTlsContext() = default;

std::shared_ptr<BrowserTlsContext> BrowserTlsContext::make(const TlsIdentity& identity) {
  std::shared_ptr<BrowserTlsContext> tls(new BrowserTlsContext());
  auto& context = tls->impl().context;
  SSL_CTX* native = context.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  boost::system::error_code ec;
  context.use_certificate(boost::asio::buffer(identity.certificate), ssl::context::asn1, ec);
  if (!ec) {
    context.use_private_key(boost::asio::buffer(identity.privateKey.data(), identity.privateKey.size()),
                            ssl::context::asn1, ec);
  }
  if (ec || SSL_CTX_check_private_key(native) != 1) return nullptr;
  return tls;
}

struct BrowserSocket::Stream {
  explicit Stream(tcp::socket s) : plain(std::move(s)) {}
  Stream(tcp::socket s, ssl::context& context) : secure(std::in_place, std::move(s), context) {}

  tcp::socket& lowest() { return secure ? secure->next_layer() : *plain; }
  const tcp::socket& lowest() const { return secure ? secure->next_layer() : *plain; }

  std::optional<tcp::socket> plain;
  std::optional<ssl::stream<tcp::socket>> secure;
};

BrowserSocket::BrowserSocket(tcp::socket socket, std::shared_ptr<BrowserTlsContext> tls)
    : tls_(std::move(tls)) {
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  stream_ = tls_ ? std::make_unique<Stream>(std::move(socket), tls_->impl().context)
                 : std::make_unique<Stream>(std::move(socket));
}

BrowserSocket::~BrowserSocket() = default;

void BrowserSocket::handshake(Completion done) {
  if (!stream_->secure) {
    done({});
    return;
  }
  stream_->secure->async_handshake(ssl::stream_base::server,
                                   [done = std::move(done)](const boost::system::error_code& ec) {
                                     done(ec);
                                   });
}

void BrowserSocket::readSome(std::span<std::uint8_t> into, ReadCompletion done) {
  auto buffer = boost::asio::buffer(into.data(), into.size());
  auto handler = [done = std::move(done)](const boost::system::error_code& ec, std::size_t n) {
    done(ec, n);
  };
  if (stream_->secure) {
    stream_->secure->async_read_some(buffer, std::move(handler));
  } else {
    stream_->plain->async_read_some(buffer, std::move(handler));
  }
}

void BrowserSocket::write(std::vector<boost::asio::const_buffer> buffers, Completion done) {
  auto handler = [done = std::move(done)](const boost::system::error_code& ec, std::size_t) {
    done(ec);
  };
  if (stream_->secure) {
    boost::asio::async_write(*stream_->secure, std::move(buffers), std::move(handler));
  } else {
    boost::asio::async_write(*stream_->plain, std::move(buffers), std::move(handler));
  }
}

void BrowserSocket::close() {
  boost::system::error_code ignored;
  auto& socket = stream_->lowest();
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

bool BrowserSocket::isOpen() const { return stream_->lowest().is_open(); }

boost::asio::any_io_executor BrowserSocket::executor() const {
  return const_cast<tcp::socket&>(stream_->lowest()).get_executor();
}

}  // namespace ambrel
