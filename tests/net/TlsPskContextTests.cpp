#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <future>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include "CorvelKit/net/TlsPskContext.h"

namespace corvel::net {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct Outcome {
  boost::system::error_code serverError, clientError;
  std::string serverCipher, clientProtocol;
  std::string echoed;
};

Outcome handshake(const Bytes& serverKey, const Bytes& clientKey) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  auto port = acceptor.local_endpoint().port();
  Outcome out;

  auto server = std::async(std::launch::async, [&] {
    auto ctx = makeTlsPskContext(TlsRole::server, serverKey);
    asio::io_context sio;
    asio::ssl::stream<tcp::socket> stream(sio, ctx);
    acceptor.accept(stream.next_layer());
    stream.handshake(asio::ssl::stream_base::server, out.serverError);
    if (out.serverError) return;
    out.serverCipher = SSL_CIPHER_get_name(SSL_get_current_cipher(stream.native_handle()));
    char buf[5];
    asio::read(stream, asio::buffer(buf));
    asio::write(stream, asio::buffer(buf));
  });

  auto ctx = makeTlsPskContext(TlsRole::client, clientKey);
  asio::ssl::stream<tcp::socket> stream(io, ctx);
  stream.next_layer().connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  stream.handshake(asio::ssl::stream_base::client, out.clientError);
  if (!out.clientError) {
    out.clientProtocol = SSL_get_version(stream.native_handle());
    asio::write(stream, asio::buffer("hello", 5));
    char buf[5];
    asio::read(stream, asio::buffer(buf));
    out.echoed.assign(buf, 5);
  }
  stream.next_layer().close();
  server.get();
  return out;
}

TEST(TlsPskContext, SameKeyNegotiatesTheOneSuiteOverTls12) {
  Bytes key(32, 0x42);
  auto out = handshake(key, key);
  ASSERT_FALSE(out.clientError) << out.clientError.message();
  ASSERT_FALSE(out.serverError) << out.serverError.message();
  EXPECT_EQ(out.serverCipher, "PSK-AES128-GCM-SHA256");
  EXPECT_EQ(out.clientProtocol, "TLSv1.2");
  EXPECT_EQ(out.echoed, "hello");
}

TEST(TlsPskContext, DifferentKeysFailAsTlsErrorsOnBothSides) {
  Bytes a(32, 0x42), b(32, 0x43);
  auto out = handshake(a, b);
  EXPECT_TRUE(out.clientError);
  EXPECT_TRUE(out.serverError);
  EXPECT_TRUE(isTlsError(out.clientError)) << out.clientError.message();
  EXPECT_TRUE(isTlsError(out.serverError)) << out.serverError.message();
  EXPECT_FALSE(isTlsError(asio::error::connection_reset));
  EXPECT_FALSE(isTlsError(asio::ssl::error::stream_truncated));
}

TEST(TlsPskContext, RefusesKeysOfTheWrongLength) {
  EXPECT_THROW(makeTlsPskContext(TlsRole::client, Bytes(31)), std::invalid_argument);
}

// Connections keyed alike share a context per role; a new key (the access code changed) must
// never be served the old key's context.
TEST(TlsPskContext, SharedContextsFollowTheKeyAndTheRole) {
  const Bytes first(32, 0x01), second(32, 0x02);
  auto client = sharedTlsPskContext(TlsRole::client, first);
  EXPECT_EQ(sharedTlsPskContext(TlsRole::client, first), client);
  EXPECT_NE(sharedTlsPskContext(TlsRole::server, first), client);
  auto changed = sharedTlsPskContext(TlsRole::client, second);
  EXPECT_NE(changed, client);
  EXPECT_EQ(sharedTlsPskContext(TlsRole::client, second), changed);
  EXPECT_NE(sharedTlsPskContext(TlsRole::client, first), changed);
  EXPECT_THROW(sharedTlsPskContext(TlsRole::client, Bytes(31)), std::invalid_argument);
}

}  // namespace
}  // namespace corvel::net
