#include "tests/support/RawPeer.h"

#include <array>

#include <deque>
#include <stdexcept>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/net/TlsPskContext.h"
#include "CorvelKit/protocol/CorvelFramer.h"

namespace corvel::test {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct RawPeer::Impl {
  explicit Impl(ByteView key)
      : context(net::makeTlsPskContext(net::TlsRole::client, key)),
        stream(io, context),
        accessKey(key.begin(), key.end()) {}
  asio::io_context io;
  asio::ssl::context context;
  asio::ssl::stream<tcp::socket> stream;
  Bytes accessKey;
  protocol::CorvelFramer framer;
  std::deque<std::pair<protocol::MessageType, Bytes>> frames;
};

RawPeer::RawPeer(std::uint16_t port, ByteView accessKey, int receiveBuffer,
                 std::string_view sourceAddress)
    : impl_(std::make_unique<Impl>(accessKey)) {
  auto& socket = impl_->stream.next_layer();
  if (receiveBuffer > 0 || !sourceAddress.empty()) socket.open(tcp::v4());
  if (receiveBuffer > 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
  if (!sourceAddress.empty()) socket.bind({asio::ip::make_address_v4(std::string(sourceAddress)), 0});
  impl_->stream.next_layer().connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  impl_->stream.handshake(asio::ssl::stream_base::client);
}

RawPeer::~RawPeer() {
  boost::system::error_code ignored;
  impl_->stream.next_layer().close(ignored);
}

void RawPeer::sendFrame(protocol::MessageType type, ByteView payload) {
  auto frame = protocol::CorvelFramer::frame(type, payload);
  asio::write(impl_->stream, asio::buffer(*frame));
}

void RawPeer::sendHeader(protocol::MessageType type, std::uint32_t length) {
  std::array<std::uint8_t, protocol::CorvelFramer::headerSize> header{};
  if (!protocol::CorvelFramer::writeHeader(type, length, header)) return;
  asio::write(impl_->stream, asio::buffer(header));
}

std::optional<std::pair<protocol::MessageType, Bytes>> RawPeer::readFrame() {
  while (impl_->frames.empty()) {
    std::uint8_t buf[16384];
    boost::system::error_code ec;
    auto n = impl_->stream.read_some(asio::buffer(buf), ec);
    if (ec && n == 0) return std::nullopt;
    impl_->framer.feed(ByteView(buf, n), [&](protocol::MessageType t, ByteView p) {
      impl_->frames.emplace_back(t, Bytes(p.begin(), p.end()));
    });
  }
  auto f = std::move(impl_->frames.front());
  impl_->frames.pop_front();
  return f;
}

std::unique_ptr<secure::SecureMessageChannel> RawPeer::runClientHandshake(
    const security::SecureIdentity& identity) {
  secure::SecureHandshake handshake(secure::SecureHandshake::Role::client, impl_->accessKey,
                                    identity);
  sendFrame(protocol::MessageType::secureClientHello, handshake.makeClientHello());
  auto reply = readFrame();
  if (!reply || reply->first != protocol::MessageType::secureServerHello) {
    throw std::runtime_error("no server hello");
  }
  auto finished = handshake.finish(reply->second);
  sendFrame(protocol::MessageType::secureFinish, finished.finishMessage);
  return std::move(finished.channel);
}

}  // namespace corvel::test
