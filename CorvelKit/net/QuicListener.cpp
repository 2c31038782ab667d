#include "CorvelKit/net/QuicListener.h"

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <boost/asio/dispatch.hpp>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/net/QuicPacketRoute.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/RandomBytes.h"
#include "CorvelKit/security/SecretBytes.h"

namespace corvel::net {

namespace {

auto& log() { return Log::core("quic"); }

using Key = QuicPacketRoute::Prefix;

// How long a Retry token stays good: a client answers a Retry within one round trip.
constexpr std::uint64_t retryTokenLifetimeNs = 10'000'000'000;

std::uint64_t steadyNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

struct QuicListener::Impl {
  Impl(const Executor& executor) : strand(asio::make_strand(executor)), socket(std::make_shared<udp::socket>(strand)) {}

  asio::strand<Executor> strand;
  std::shared_ptr<udp::socket> socket;
  security::SecretBytes key;
  // Keys the Retry tokens this listener hands out; new for every listener.
  std::array<std::uint8_t, 32> retrySecret{};
  AcceptHandler onAccept;
  QuicStream::Options options;
  bool stopped = false;

  // On the strand: connections by the prefix of the IDs we issue, and by the ID the client chose
  // for its first packets (until it switches to ours).
  std::map<Key, std::shared_ptr<QuicStream>> byPrefix;
  std::map<Bytes, Key> byInitialId;
  std::atomic<std::size_t> count{0};

  std::array<std::uint8_t, 64 * 1024> buffer{};
  udp::endpoint from;
  udp::endpoint local;
  std::chrono::steady_clock::time_point lastDropLog{};
};

QuicListener::QuicListener(std::string_view accessCode, AcceptHandler onAccept,
                           QuicStream::Options options, Executor executor)
    : impl_(std::make_unique<Impl>(executor)) {
  impl_->key = security::AccessCode::key(accessCode);
  security::fillRandom(impl_->retrySecret);
  impl_->onAccept = std::move(onAccept);
  impl_->options = options;
}

QuicListener::~QuicListener() {
  boost::system::error_code ignored;
  impl_->socket->close(ignored);
}

std::shared_ptr<QuicListener> QuicListener::make(std::string_view accessCode,
                                                 AcceptHandler onAccept,
                                                 QuicStream::Options options, Executor executor) {
  return std::shared_ptr<QuicListener>(
      new QuicListener(accessCode, std::move(onAccept), options, std::move(executor)));
}

std::uint16_t QuicListener::start(std::uint16_t port, std::error_code& error) {
  auto& m = *impl_;
  boost::system::error_code ec;
  const udp::endpoint any(udp::v4(), port);
  m.socket->open(any.protocol(), ec);
  if (!ec) m.socket->set_option(udp::socket::reuse_address(true), ec);
  if (!ec) m.socket->bind(any, ec);
  if (!ec) m.socket->non_blocking(true, ec);
  if (!ec) {
    boost::system::error_code ignored;
    m.socket->set_option(boost::asio::socket_base::receive_buffer_size(4 << 20), ignored);
    m.socket->set_option(boost::asio::socket_base::send_buffer_size(4 << 20), ignored);
  }
  if (!ec) m.local = m.socket->local_endpoint(ec);
  if (ec) {
    error = ec;
    boost::system::error_code ignored;
    m.socket->close(ignored);
    return 0;
  }
  port_ = m.local.port();
  log().info("QUIC listener up on port {}", port_);
  auto self = shared_from_this();
  boost::asio::dispatch(m.strand, [self] { self->receiveNext(); });
  return port_;
}

void QuicListener::stop() {
  auto self = shared_from_this();
  boost::asio::dispatch(impl_->strand, [self] {
    auto& m = *self->impl_;
    if (m.stopped) return;
    m.stopped = true;
    m.onAccept = nullptr;
    auto connections = std::move(m.byPrefix);
    m.byPrefix.clear();
    m.byInitialId.clear();
    m.count = 0;
    for (auto& [k, s] : connections) s->close();
    boost::system::error_code ignored;
    m.socket->close(ignored);
  });
}

void QuicListener::punch(const udp::endpoint& toward) {
  auto self = shared_from_this();
  boost::asio::dispatch(impl_->strand, [self, toward] {
    auto& m = *self->impl_;
    if (m.stopped || !m.socket->is_open()) return;
    const std::uint8_t punch = QuicStream::punchByte;
    for (int i = 0; i < punchDatagrams; ++i) {
      boost::system::error_code ignored;  // a punch that does not leave is one of several
      m.socket->send_to(boost::asio::buffer(&punch, 1), toward, 0, ignored);
    }
  });
}

void QuicListener::sendRetry(const ngtcp2_pkt_hd& header) {
  auto& m = *impl_;
  std::array<std::uint8_t, NGTCP2_MAX_CIDLEN> id{};
  security::fillRandom(id);
  ngtcp2_cid retryId;
  ngtcp2_cid_init(&retryId, id.data(), QuicPacketRoute::idLength);
  std::array<std::uint8_t, NGTCP2_CRYPTO_MAX_RETRY_TOKENLEN> token{};
  const auto tokenSize = ngtcp2_crypto_generate_retry_token(
      token.data(), m.retrySecret.data(), m.retrySecret.size(), header.version, m.from.data(),
      static_cast<ngtcp2_socklen>(m.from.size()), &retryId, &header.dcid, steadyNs());
  if (tokenSize < 0) return;
  std::array<std::uint8_t, 256> packet{};
  const auto size = ngtcp2_crypto_write_retry(packet.data(), packet.size(), header.version, &header.scid,
                                              &retryId, &header.dcid, token.data(),
                                              static_cast<std::size_t>(tokenSize));
  if (size < 0) return;
  boost::system::error_code ignored;  // a Retry that does not leave is sent again for the next Initial
  m.socket->send_to(boost::asio::buffer(packet.data(), static_cast<std::size_t>(size)), m.from, 0, ignored);
}

std::size_t QuicListener::connectionCount() const { return impl_->count.load(); }

void QuicListener::receiveNext() {
  auto& m = *impl_;
  if (m.stopped) return;
  auto self = shared_from_this();
  m.socket->async_receive_from(boost::asio::buffer(m.buffer), m.from,
                               [self](const boost::system::error_code& ec, std::size_t n) mutable {
                                 auto& mm = *self->impl_;
                                 if (mm.stopped || ec == boost::asio::error::operation_aborted) return;
                                 if (!ec) self->dispatchDatagram(n);
                                 // Take what else is waiting before going back to the queue.
                                 boost::system::error_code e;
                                 for (int more = 0; more < 64 && !mm.stopped; ++more) {
                                   n = mm.socket->receive_from(boost::asio::buffer(mm.buffer), mm.from, 0, e);
                                   if (e) break;
                                   self->dispatchDatagram(n);
                                 }
                                 self->receiveNext();
                               });
}

void QuicListener::dispatchDatagram(std::size_t size) {
  auto& m = *impl_;
  const ByteView datagram(m.buffer.data(), size);
  auto route = QuicPacketRoute::of(datagram);
  if (!route) return;  // not QUIC (or a version we do not speak): nothing to answer

  // A packet for a connection we know.
  if (auto prefix = route->prefix()) {
    if (auto it = m.byPrefix.find(*prefix); it != m.byPrefix.end()) {
      auto stream = it->second;
      stream->receive(datagram, m.from);
      return;
    }
  }
  const Bytes initialId = route->destinationId;
  if (auto it = m.byInitialId.find(initialId); it != m.byInitialId.end()) {
    if (auto s = m.byPrefix.find(it->second); s != m.byPrefix.end()) {
      auto stream = s->second;
      stream->receive(datagram, m.from);
    }
    return;
  }
  if (!route->longHeader) return;

  // A new connection: only from an Initial packet, and only while there is room.
  ngtcp2_pkt_hd header;
  if (ngtcp2_accept(&header, datagram.data(), datagram.size()) != 0) return;
  Bytes retriedFrom;  // the client's first destination ID, when it comes back from our Retry
  if (header.token.len > 0 && header.token.base[0] == NGTCP2_CRYPTO_TOKEN_MAGIC_RETRY) {
    ngtcp2_cid original;
    if (ngtcp2_crypto_verify_retry_token(&original, header.token.base, header.token.len,
                                         m.retrySecret.data(), m.retrySecret.size(), header.version,
                                         m.from.data(), static_cast<ngtcp2_socklen>(m.from.size()),
                                         &header.dcid, retryTokenLifetimeNs, steadyNs()) != 0) {
      return;  // forged, stale or from another address
    }
    retriedFrom.assign(original.data, original.data + original.datalen);
  } else if (m.byPrefix.size() >= retryAbove && m.onAccept) {
    // Busy: the client proves first that it gets answers at its address, so a flood of Initial
    // packets from forged addresses takes no place here.
    sendRetry(header);
    return;
  }
  if (m.byPrefix.size() >= maxConnections || !m.onAccept) {
    const auto now = std::chrono::steady_clock::now();
    if (now - m.lastDropLog > std::chrono::seconds(10)) {
      m.lastDropLog = now;
      log().info("QUIC listener full: dropping new connections");
    }
    return;
  }
  Key prefix{};
  security::fillRandom(prefix);
  if (m.byPrefix.count(prefix) != 0) return;
  auto stream = QuicStream::accept(m.strand, m.socket, m.local, m.from, datagram, m.key.view(),
                                   ByteView(prefix.data(), prefix.size()), m.options, retriedFrom);
  if (!stream) return;
  m.byPrefix.emplace(prefix, stream);
  m.byInitialId.emplace(initialId, prefix);
  m.count = m.byPrefix.size();
  stream->onFinished([weak = weak_from_this(), prefix, initialId] {
    auto self = weak.lock();
    if (!self) return;
    auto& mm = *self->impl_;
    mm.byPrefix.erase(prefix);
    mm.byInitialId.erase(initialId);
    mm.count = mm.byPrefix.size();
  });
  stream->receive(datagram, m.from);
  // A first packet that could not be read (not QUIC, or keyed for nobody) is no connection; one
  // that failed TLS goes to the owner all the same, who counts wrong codes.
  if (!stream->finished() && !stream->answered()) stream->drop();
  if (stream->finished() && !stream->failedTls()) return;
  auto accept = m.onAccept;
  accept(stream, m.from);
}

}  // namespace corvel::net
