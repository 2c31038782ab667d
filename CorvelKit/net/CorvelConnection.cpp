#include "CorvelKit/net/CorvelConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/net/NetworkInterfaces.h"
#include "CorvelKit/net/OnceFlag.h"
#include "CorvelKit/net/QuicError.h"
#include "CorvelKit/net/QuicStream.h"
#include "CorvelKit/net/TlsPskContext.h"
#include "CorvelKit/net/UnmappedAddress.h"
#include "CorvelKit/protocol/CorvelFramer.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecretBytes.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace corvel::net {

namespace {

namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using protocol::CorvelFramer;
using protocol::MessageType;

auto& log() { return Log::core("net"); }

constexpr std::size_t kReadChunk = 64 * 1024;
// A payload longer than one TLS record is read straight into the buffer it is opened in, instead
// of being gathered from read chunks first.
constexpr std::uint32_t kDirectReadMin = 16 * 1024;
// How far ahead of the bytes that arrived such a buffer grows, so that a header announcing a large
// payload costs nothing until the payload comes.
constexpr std::size_t kDirectReadStep = 1u << 20;
// Receive and frame buffers larger than this are freed after use rather than kept for the next
// message; spare frame buffers are kept up to this many bytes in all.
constexpr std::size_t kRetainedBuffer = 1u << 20;

bool isHandshakeType(MessageType t) {
  return t == MessageType::secureClientHello || t == MessageType::secureServerHello ||
         t == MessageType::secureFinish;
}

// The name of the interface that holds `local`, the address a socket is bound to.
std::optional<std::string> interfaceOf(const boost::asio::ip::address& local) {
  return NetworkInterfaces::current()->holding(local);
}

// A completion handler for a read or write that the connection issues from its own queue, where
// it goes on from the last step. Asio then keeps the step's completion on the thread already
// running the connection instead of waking another thread of the pool for it (TLS moves a record
// at a time, so that would be a thread switch every 16 KiB).
template <class F>
struct Continuation {
  F f;
  template <class... Args>
  void operator()(Args&&... args) {
    f(std::forward<Args>(args)...);
  }
  friend bool asio_handler_is_continuation(Continuation*) { return true; }
};
template <class F>
Continuation<std::decay_t<F>> continuation(F&& f) {
  return {std::forward<F>(f)};
}

void setTransportOptions(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
  int idle = 2;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
}

}  // namespace

std::string_view name(ConnectionState::Kind kind) {
  switch (kind) {
    case ConnectionState::Kind::preparing: return "preparing";
    case ConnectionState::Kind::ready: return "ready";
    case ConnectionState::Kind::failed: return "failed";
    case ConnectionState::Kind::cancelled: return "cancelled";
  }
  return "unknown";
}

struct CorvelConnection::Outgoing {
  Bytes frame;
  Completion completion;
};

struct CorvelConnection::Impl {
  Impl(bool server, ByteView accessKey, const security::SecureIdentity& identity,
       const asio::strand<Executor>& strand)
      : context(sharedTlsPskContext(server ? TlsRole::server : TlsRole::client, accessKey)),
        stream(strand, *context),
        resolver(strand),
        setupDeadline(strand),
        handshake(server ? secure::SecureHandshake::Role::server
                         : secure::SecureHandshake::Role::client,
                  accessKey, identity) {
    framer.setPayloadLimit(CorvelConnection::maxHandshakeBytes);
  }

  std::shared_ptr<ssl::context> context;
  ssl::stream<tcp::socket> stream;
  // Hole-punched paths: QUIC instead of TCP and TLS (then `stream` stays unused).
  bool quicPath = false;
  std::uint16_t quicLocalPort = 0;
  std::chrono::milliseconds quicHandshakeTimeout{10'000};
  std::shared_ptr<QuicStream> quic;
  security::SecretBytes accessKey;  // client over QUIC: keys its TLS
  tcp::resolver resolver;
  asio::steady_timer setupDeadline;
  secure::SecureHandshake handshake;

  // Client only.
  Endpoint endpoint;
  std::optional<std::string> requiredInterface;
  bool prohibitMobile = false;

  // Strand only.
  CorvelFramer framer;
  std::array<std::uint8_t, kReadChunk> readBuffer;
  // A frame whose payload is being read straight into `inbound` (the framer handed it over);
  // `inboundFill` bytes of it are in. `inbound` is also where every payload is opened: it holds
  // plaintext only while the message handler runs and is wiped right after.
  std::optional<CorvelFramer::PartialFrame> direct;
  Bytes inbound;
  std::size_t inboundFill = 0;
  bool started = false;
  bool tlsUp = false;
  bool ended = false;
  bool writing = false;

  // Client only; set by client(), read on the strand.
  std::optional<std::string> pinnedFingerprint;

  // The owner's handlers. A delivery copies the pointer under the lock and calls with no lock
  // held; detach() swaps it out.
  mutable std::mutex handlersMutex;
  std::shared_ptr<const Handlers> handlers;

  // Sealing and queueing, one step (see send()). `channel` is set on the strand under this lock.
  std::mutex sendLock;
  std::shared_ptr<secure::SecureMessageChannel> channel;
  bool closed = false;  // no more sends: the connection ended

  // Frames waiting for the writer.
  std::mutex queueMutex;
  std::deque<Outgoing> pending;
  std::size_t queuedBytes = 0;
  // A write is posted or under way: it takes what is pending before it lets go, so a frame queued
  // meanwhile needs no post of its own.
  bool writerBusy = false;
  // Written frame buffers (ciphertext only) kept for the next frames, with their sizes, so that
  // sealing writes into memory that is already there.
  std::vector<Bytes> spareFrames;
  std::size_t spareBytes = 0;

  // What other threads may read.
  mutable std::mutex infoMutex;
  std::optional<std::string> peerFingerprint;
  std::optional<secure::SecureChannelError> securityFailure;
  std::optional<std::string> remoteHost;
  std::optional<boost::asio::ip::address> localAddress;
};

CorvelConnection::CorvelConnection(bool server, std::string_view accessCode,
                                   const security::SecureIdentity* identity, Handlers handlers)
    : server_(server), queue_("corvel.connection") {
  auto key = security::AccessCode::key(accessCode);
  impl_ = std::make_unique<Impl>(server, ByteView(key.data(), key.size()),
                                 identity != nullptr ? *identity : security::SecureIdentity::shared(),
                                 queue_.executor());
  impl_->handlers = std::make_shared<const Handlers>(std::move(handlers));
  impl_->accessKey = std::move(key);
}

CorvelConnection::~CorvelConnection() = default;

std::shared_ptr<CorvelConnection> CorvelConnection::client(Endpoint endpoint,
                                                           std::string_view accessCode,
                                                           Handlers handlers) {
  return client(std::move(endpoint), accessCode, std::move(handlers), ClientOptions{});
}

std::shared_ptr<CorvelConnection> CorvelConnection::client(Endpoint endpoint,
                                                           std::string_view accessCode,
                                                           Handlers handlers, ClientOptions options) {
  std::shared_ptr<CorvelConnection> c(
      new CorvelConnection(false, accessCode, options.identity, std::move(handlers)));
  c->impl_->prohibitMobile = isLocalEndpoint(endpoint.host);
  c->impl_->remoteHost = endpoint.host;
  c->impl_->endpoint = std::move(endpoint);
  c->impl_->requiredInterface = std::move(options.requiredInterface);
  c->impl_->pinnedFingerprint = std::move(options.pinnedFingerprint);
  c->impl_->quicPath = options.quic;
  c->impl_->quicLocalPort = options.quicLocalPort;
  c->impl_->quicHandshakeTimeout = options.quicHandshakeTimeout;
  return c;
}

std::shared_ptr<CorvelConnection> CorvelConnection::server(tcp::socket socket,
                                                           std::string_view accessCode,
                                                           Handlers handlers,
                                                           const security::SecureIdentity* identity) {
  std::shared_ptr<CorvelConnection> c(
      new CorvelConnection(true, accessCode, identity, std::move(handlers)));
  boost::system::error_code ec;
  auto remote = socket.remote_endpoint(ec);
  if (!ec) c->impl_->remoteHost = unmapped(remote.address()).to_string();
  auto local = socket.local_endpoint(ec);
  if (!ec) c->impl_->localAddress = local.address();
  // Move the socket onto the connection's strand.
  auto protocol = remote.protocol();
  int fd = socket.release(ec);
  if (!ec) c->impl_->stream.next_layer().assign(protocol, fd, ec);
  return c;
}

std::shared_ptr<CorvelConnection> CorvelConnection::server(std::shared_ptr<QuicStream> stream,
                                                           std::string_view accessCode,
                                                           Handlers handlers,
                                                           const security::SecureIdentity* identity) {
  std::shared_ptr<CorvelConnection> c(
      new CorvelConnection(true, accessCode, identity, std::move(handlers)));
  c->impl_->remoteHost = unmapped(stream->remoteEndpoint().address()).to_string();
  c->impl_->localAddress = stream->localEndpoint().address();
  c->impl_->quicPath = true;
  stream->bindCompletions(c->queue_.executor());
  c->impl_->quic = std::move(stream);
  return c;
}

bool CorvelConnection::holePunched() const { return impl_->quicPath; }

// ---- Life cycle -------------------------------------------------------------------------------

// The steps below run on the connection's strand; each holds the connection strongly for as long
// as its I/O is in flight.

void CorvelConnection::start() {
  auto self = shared_from_this();
  queue_.post([self] {
    auto& m = *self->impl_;
    if (m.started || m.ended) return;
    m.started = true;
    self->notify({ConnectionState::Kind::preparing, {}, false});
    if (self->server_) {
      if (!m.quic) setTransportOptions(m.stream.next_layer());
      self->startTls();
    } else {
      self->resolve();
    }
  });
}

void CorvelConnection::cancel() {
  auto self = shared_from_this();
  queue_.post([self] { self->end({ConnectionState::Kind::cancelled, {}, false}); });
}

void CorvelConnection::detach() {
  // No waiting, neither on the connection's queue nor on a running callback: an owner that goes
  // away on a thread of the shared pool (its last reference dropped there) must not wait for work
  // that needs a free pool thread, nor for a callback that may be waiting on that owner.
  std::shared_ptr<const Handlers> dropped;
  {
    std::lock_guard lock(impl_->handlersMutex);
    dropped.swap(impl_->handlers);
  }
  // Released here, outside the lock: what the handlers captured may detach again as it goes.
}

std::shared_ptr<const CorvelConnection::Handlers> CorvelConnection::handlers() const {
  std::lock_guard lock(impl_->handlersMutex);
  return impl_->handlers;
}

void CorvelConnection::notify(const ConnectionState& state) {
  if (auto h = handlers(); h && h->state) h->state(state);
}

void CorvelConnection::resolve() {
  auto self = shared_from_this();
  auto& m = *impl_;
  // An address needs no resolver (whose lookups run on a thread of their own).
  boost::system::error_code notAnAddress;
  const auto address = boost::asio::ip::make_address(m.endpoint.host, notAnAddress);
  if (!notAnAddress) {
    std::vector<tcp::endpoint> endpoints{tcp::endpoint(address, m.endpoint.port)};
    if (m.quicPath) {
      connectQuic(endpoints);
    } else {
      connect(std::move(endpoints), 0, {});
    }
    return;
  }
  m.resolver.async_resolve(
      m.endpoint.host, std::to_string(m.endpoint.port),
      [self](const boost::system::error_code& ec, tcp::resolver::results_type results) {
        if (self->impl_->ended) return;
        if (ec) {
          self->end({ConnectionState::Kind::failed, ec, false});
          return;
        }
        std::vector<tcp::endpoint> endpoints;
        for (const auto& r : results) endpoints.push_back(r.endpoint());
        if (self->impl_->quicPath) {
          self->connectQuic(endpoints);
        } else {
          self->connect(std::move(endpoints), 0, ec);
        }
      });
}

void CorvelConnection::connect(std::vector<tcp::endpoint> endpoints, std::size_t index,
                               boost::system::error_code lastError) {
  auto& m = *impl_;
  if (index >= endpoints.size()) {
    end({ConnectionState::Kind::failed,
         lastError ? lastError : boost::asio::error::host_not_found, false});
    return;
  }
  auto& socket = m.stream.next_layer();
  boost::system::error_code ec;
  if (socket.is_open()) socket.close(ec);
  socket.open(endpoints[index].protocol(), ec);
  if (!ec && m.requiredInterface) {
    const auto& name = *m.requiredInterface;
    if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                     static_cast<socklen_t>(name.size())) != 0) {
      ec = {errno, boost::system::system_category()};
    }
  }
  if (ec) {
    connect(std::move(endpoints), index + 1, ec);
    return;
  }
  auto self = shared_from_this();
  auto target = endpoints[index];
  socket.async_connect(target, [self, endpoints = std::move(endpoints),
                                index](const boost::system::error_code& error) mutable {
    auto& mm = *self->impl_;
    if (mm.ended) return;
    if (error) {
      self->connect(std::move(endpoints), index + 1, error);
      return;
    }
    auto& s = mm.stream.next_layer();
    boost::system::error_code e;
    auto local = s.local_endpoint(e);
    auto remote = s.remote_endpoint(e);
    {
      std::lock_guard lock(mm.infoMutex);
      if (!e) {
        mm.localAddress = local.address();
        mm.remoteHost = unmapped(remote.address()).to_string();
      }
    }
    if (mm.prohibitMobile && !mm.requiredInterface && mm.localAddress) {
      auto via = interfaceOf(*mm.localAddress);
      if (via && isMobileInterface(*via)) {
        self->end({ConnectionState::Kind::failed, ConnectionErrc::networkUnreachable, false});
        return;
      }
    }
    setTransportOptions(s);
    self->startTls();
  });
}

void CorvelConnection::connectQuic(const std::vector<tcp::endpoint>& endpoints) {
  auto& m = *impl_;
  // The punched port is an IPv4 one: take the first IPv4 address, else the first one.
  const tcp::endpoint* target = nullptr;
  for (const auto& e : endpoints) {
    if (unmapped(e.address()).is_v4()) {
      target = &e;
      break;
    }
  }
  if (target == nullptr && !endpoints.empty()) target = &endpoints.front();
  if (target == nullptr) {
    end({ConnectionState::Kind::failed,
         boost::system::error_code(boost::asio::error::host_not_found), false});
    return;
  }
  std::error_code error;
  const boost::asio::ip::udp::endpoint remote(unmapped(target->address()), target->port());
  QuicStream::Options quicOptions;
  quicOptions.handshakeTimeout = m.quicHandshakeTimeout;
  m.quic = QuicStream::client(queue_.executor(), remote, m.quicLocalPort, m.accessKey.view(),
                              quicOptions, error);
  if (!m.quic) {
    end({ConnectionState::Kind::failed, error, false});
    return;
  }
  {
    std::lock_guard lock(m.infoMutex);
    m.localAddress = m.quic->localEndpoint().address();
    m.remoteHost = remote.address().to_string();
  }
  startTls();
}

void CorvelConnection::armSetupDeadline() {
  impl_->setupDeadline.expires_after(setupTimeout);
  impl_->setupDeadline.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    auto s = weak.lock();
    if (ec || !s || s->isSecure()) return;
    log().info("connection set-up took too long");
    s->end({ConnectionState::Kind::failed, std::make_error_code(std::errc::timed_out), false});
  });
}

void CorvelConnection::startTls() {
  auto self = shared_from_this();
  // A client's QUIC handshake has a limit of its own, which may be long: on a hole-punched path
  // it waits for the host to open its router. The rest of the set-up has the usual one.
  const bool deadlineAfterTransport = impl_->quic && !server_;
  if (!deadlineAfterTransport) armSetupDeadline();
  if (impl_->quic) {
    impl_->quic->handshake([self, deadlineAfterTransport](std::error_code ec) {
      if (self->impl_->ended) return;
      if (ec) {
        self->end({ConnectionState::Kind::failed, ec, QuicStream::isTlsFailure(ec)});
        return;
      }
      if (deadlineAfterTransport) self->armSetupDeadline();
      self->transportUp();
    });
    return;
  }
  impl_->stream.async_handshake(
      server_ ? ssl::stream_base::server : ssl::stream_base::client,
      [self](const boost::system::error_code& ec) {
        auto& m = *self->impl_;
        if (m.ended) return;
        if (ec) {
          // A wrong key fails the TLS handshake with an alert on both sides; a peer that just
          // hangs up is a network failure like any other.
          self->end({ConnectionState::Kind::failed, ec, isTlsError(ec)});
          return;
        }
        self->transportUp();
      });
}

void CorvelConnection::transportUp() {
  auto& m = *impl_;
  m.tlsUp = true;
  readLoop();
  if (!server_) {
    try {
      enqueue(MessageType::secureClientHello, m.handshake.makeClientHello());
    } catch (const secure::SecureChannelError& e) {
      failSecurity(e);
    } catch (const std::exception&) {
      failSecurity(secure::SecureChannelError(secure::SecureChannelErrc::malformed));
    }
  }
  // Frames queued while the transport came up go out now.
  writeNext();
}

void CorvelConnection::readLoop() {
  auto self = shared_from_this();
  auto& m = *impl_;
  boost::asio::mutable_buffer target = boost::asio::buffer(m.readBuffer);
  if (m.direct) {
    // Exactly the rest of the payload (or the next step of it), so nothing of the next frame
    // lands here.
    const std::size_t want = std::min<std::size_t>(m.direct->length, m.inboundFill + kDirectReadStep);
    if (m.inbound.size() < want) m.inbound.resize(want);
    target = boost::asio::buffer(m.inbound.data() + m.inboundFill, want - m.inboundFill);
  }
  if (m.quic) {
    m.quic->readSome(target, [self](std::error_code ec, std::size_t n) {
      self->received(n, ec, ec == QuicErrc::closed);
    });
    return;
  }
  m.stream.async_read_some(
      target, continuation([self](const boost::system::error_code& ec, std::size_t n) {
        // A peer that closes, with or without TLS's goodbye, has simply left.
        self->received(n, ec, ec == boost::asio::error::eof || ec == ssl::error::stream_truncated);
      }));
}

void CorvelConnection::received(std::size_t n, std::error_code ec, bool peerLeft) {
  auto& m = *impl_;
  if (m.ended) return;
  if (n > 0 && m.direct) {
    m.inboundFill += n;
    if (m.inboundFill == m.direct->length) {
      const auto type = m.direct->type;
      m.direct.reset();
      handleInbound(type);
    }
  } else if (n > 0) {
    m.framer.feed(ByteView(m.readBuffer.data(), n), [&](MessageType type, ByteView payload) {
      if (!m.ended) handle(type, payload);
    });
    if (!m.ended) {
      if (auto partial = m.framer.takePartialFrame(m.inbound, kDirectReadMin)) {
        m.direct = partial;
        m.inboundFill = m.inbound.size();
      }
    }
  }
  if (m.ended) return;
  if (m.framer.oversized()) {
    log().info("closing a connection that announced a frame beyond its limit");
    end({ConnectionState::Kind::failed, std::make_error_code(std::errc::message_size), false});
    return;
  }
  if (ec) {
    end({peerLeft ? ConnectionState::Kind::cancelled : ConnectionState::Kind::failed,
         peerLeft ? std::error_code{} : ec, false});
    return;
  }
  readLoop();
}

void CorvelConnection::handle(MessageType type, ByteView payload) {
  if (isHandshakeType(type)) {
    handleHandshake(type, payload);
    return;
  }
  auto channel = sealedChannel();
  if (!channel) return;  // nothing but the handshake counts before the channel exists
  auto& m = *impl_;
  try {
    channel->open(payload, m.inbound);
  } catch (const std::exception&) {
    failSecurity(secure::SecureChannelError(secure::SecureChannelErrc::tampered));
    return;
  }
  deliverInbound(type);
}

void CorvelConnection::handleInbound(MessageType type) {
  auto& m = *impl_;
  if (isHandshakeType(type)) {
    handleHandshake(type, m.inbound);
    m.inbound.clear();
    return;
  }
  auto channel = sealedChannel();
  if (!channel) {
    m.inbound.clear();
    return;
  }
  try {
    channel->openInPlace(m.inbound);
  } catch (const std::exception&) {
    failSecurity(secure::SecureChannelError(secure::SecureChannelErrc::tampered));
    return;
  }
  deliverInbound(type);
}

std::shared_ptr<secure::SecureMessageChannel> CorvelConnection::sealedChannel() const {
  std::lock_guard lock(impl_->sendLock);
  return impl_->channel;
}

void CorvelConnection::deliverInbound(MessageType type) {
  auto& m = *impl_;
  if (auto h = handlers(); h && h->message) h->message(type, m.inbound);
  // What the handler left (it may have moved the payload out) is wiped; the buffer stays for the
  // next message unless it grew large.
  secureWipe(m.inbound);
  if (m.inbound.capacity() > kRetainedBuffer) m.inbound = Bytes();
}

void CorvelConnection::handleHandshake(MessageType type, ByteView payload) {
  auto& m = *impl_;
  const bool expected = !isSecure() && (server_ ? (type == MessageType::secureClientHello ||
                                                  type == MessageType::secureFinish)
                                               : type == MessageType::secureServerHello);
  if (!expected) {
    failSecurity(secure::SecureChannelError(secure::SecureChannelErrc::outOfOrder));
    return;
  }
  // The handshake's steps throw what they find wrong with the peer's message.
  try {
    if (type == MessageType::secureClientHello) {
      enqueue(MessageType::secureServerHello, m.handshake.respond(payload));
    } else if (type == MessageType::secureFinish) {
      established(m.handshake.complete(payload));
    } else {
      auto finished = m.handshake.finish(payload);
      auto fingerprint = security::SecureIdentity::fingerprint(*m.handshake.peerIdentity());
      if (m.pinnedFingerprint && *m.pinnedFingerprint != fingerprint) {
        failSecurity(secure::SecureChannelError::identityChanged(*m.pinnedFingerprint, fingerprint));
        return;
      }
      enqueue(MessageType::secureFinish, std::move(finished.finishMessage));
      established(std::move(finished.channel));
    }
  } catch (const secure::SecureChannelError& e) {
    failSecurity(e);
  } catch (const std::exception&) {
    failSecurity(secure::SecureChannelError(secure::SecureChannelErrc::malformed));
  }
}

void CorvelConnection::established(std::unique_ptr<secure::SecureMessageChannel> channel) {
  auto& m = *impl_;
  auto fingerprint = security::SecureIdentity::fingerprint(*m.handshake.peerIdentity());
  {
    std::lock_guard lock(m.infoMutex);
    m.peerFingerprint = fingerprint;
  }
  {
    std::lock_guard lock(m.sendLock);
    m.channel = std::move(channel);
  }
  m.setupDeadline.cancel();
  m.framer.setPayloadLimit(maxMessageBytes);
  notify({ConnectionState::Kind::ready, {}, false});
}

void CorvelConnection::failSecurity(const secure::SecureChannelError& error) {
  {
    std::lock_guard lock(impl_->infoMutex);
    impl_->securityFailure = error;
  }
  log().warn("secure channel failed: {}", error.what());
  end({ConnectionState::Kind::failed, ConnectionErrc::authenticationFailed, false});
}

void CorvelConnection::end(ConnectionState state) {
  auto& m = *impl_;
  if (m.ended) return;
  m.ended = true;
  std::deque<Outgoing> dropped;
  {
    std::lock_guard lock(m.sendLock);
    m.closed = true;
  }
  {
    std::lock_guard lock(m.queueMutex);
    dropped.swap(m.pending);
    m.queuedBytes = 0;
  }
  boost::system::error_code ignored;
  m.setupDeadline.cancel();
  m.resolver.cancel();
  if (m.quic) {
    m.quic->close();
  } else {
    m.stream.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    m.stream.next_layer().close(ignored);
  }
  for (auto& o : dropped) {
    if (o.completion) o.completion(ConnectionErrc::notConnected);
  }
  notify(state);
}

// ---- Sending ----------------------------------------------------------------------------------

void CorvelConnection::completeNow(Completion completion, std::error_code ec) {
  if (!completion) return;
  queue_.post([completion = std::move(completion), ec] { completion(ec); });
}

void CorvelConnection::send(MessageType type, ByteView payload, Completion completion) {
  auto& m = *impl_;
  std::unique_lock lock(m.sendLock);
  if (!m.channel || m.closed) {
    lock.unlock();
    completeNow(std::move(completion), ConnectionErrc::notConnected);
    return;
  }
  const std::size_t sealedSize = payload.size() + secure::SecureMessageChannel::tagSize;
  Bytes frame;
  {
    std::lock_guard q(m.queueMutex);
    if (m.queuedBytes + sealedSize > maxQueuedBytes) {
      lock.unlock();
      completeNow(std::move(completion), ConnectionErrc::noBufferSpace);
      return;
    }
    if (!m.spareFrames.empty()) {
      frame = std::move(m.spareFrames.back());
      m.spareFrames.pop_back();
      m.spareBytes -= frame.capacity();
    }
  }
  // Header, ciphertext and tag are written once, straight into the frame that goes out.
  frame.resize(CorvelFramer::headerSize + sealedSize);
  if (!CorvelFramer::writeHeader(type, sealedSize,
                                 std::span<std::uint8_t, CorvelFramer::headerSize>(
                                     frame.data(), CorvelFramer::headerSize))) {
    lock.unlock();
    completeNow(std::move(completion), ConnectionErrc::invalidArgument);
    return;
  }
  try {
    m.channel->seal(payload, std::span(frame).subspan(CorvelFramer::headerSize));
  } catch (const std::exception&) {
    lock.unlock();
    completeNow(std::move(completion), ConnectionErrc::notConnected);
    return;
  }
  const bool startWriter = push(std::move(frame), std::move(completion));
  lock.unlock();
  if (startWriter) kickWriter();
}

void CorvelConnection::enqueue(MessageType type, Bytes payload) {
  auto framed = CorvelFramer::frame(type, payload);
  if (framed && push(std::move(*framed), {})) writeNext();
}

bool CorvelConnection::push(Bytes frame, Completion completion) {
  auto& m = *impl_;
  std::lock_guard q(m.queueMutex);
  m.queuedBytes += frame.size();
  m.pending.push_back({std::move(frame), std::move(completion)});
  return !std::exchange(m.writerBusy, true);
}

void CorvelConnection::kickWriter() {
  if (queue_.isCurrent()) {
    writeNext();
    return;
  }
  auto self = shared_from_this();
  queue_.post([self] { self->writeNext(); });
}

void CorvelConnection::writeNext() {
  auto& m = *impl_;
  // A write under way comes back here when it is done; before the transport is up, transportUp()
  // does. Until then the writer stays busy, so pushes do not post.
  if (m.writing || m.ended || !m.tlsUp) return;
  auto batch = std::make_shared<std::vector<Outgoing>>();
  {
    std::lock_guard q(m.queueMutex);
    // Gather what is waiting, up to about a megabyte, into one write.
    std::size_t bytes = 0;
    while (!m.pending.empty() && (batch->empty() || bytes < (1u << 20))) {
      bytes += m.pending.front().frame.size();
      batch->push_back(std::move(m.pending.front()));
      m.pending.pop_front();
    }
    if (batch->empty()) m.writerBusy = false;
  }
  if (batch->empty()) return;
  m.writing = true;
  auto self = shared_from_this();
  if (m.quic) {
    std::size_t bytes = 0;
    std::vector<Bytes> chunks;
    chunks.reserve(batch->size());
    for (auto& o : *batch) {
      bytes += o.frame.size();
      chunks.push_back(std::move(o.frame));
    }
    m.quic->write(std::move(chunks), [self, batch, bytes](std::error_code ec, std::size_t) {
      self->written(*batch, bytes, ec);
    });
    return;
  }
  std::vector<boost::asio::const_buffer> buffers;
  buffers.reserve(batch->size());
  std::size_t bytes = 0;
  for (auto& o : *batch) {
    bytes += o.frame.size();
    buffers.emplace_back(o.frame.data(), o.frame.size());
  }
  boost::asio::async_write(
      m.stream, buffers,
      continuation([self, batch, bytes](const boost::system::error_code& ec, std::size_t) {
        self->written(*batch, bytes, ec);
      }));
}

void CorvelConnection::written(std::vector<Outgoing>& batch, std::size_t bytes,
                               std::error_code ec) {
  auto& m = *impl_;
  m.writing = false;
  {
    std::lock_guard q(m.queueMutex);
    m.queuedBytes -= std::min(bytes, m.queuedBytes);
    // The written frames' buffers go to the next ones (a QUIC write took its frames over).
    for (auto& o : batch) {
      if (o.frame.capacity() == 0 || m.spareBytes + o.frame.capacity() > kRetainedBuffer) continue;
      m.spareBytes += o.frame.capacity();
      m.spareFrames.push_back(std::move(o.frame));
    }
  }
  for (auto& o : batch) {
    if (o.completion) o.completion(ec);
  }
  if (m.ended) return;
  if (ec) {
    end({ConnectionState::Kind::failed, ec, false});
    return;
  }
  writeNext();
}

// ---- Queries ----------------------------------------------------------------------------------

bool CorvelConnection::isSecure() const {
  std::lock_guard lock(impl_->sendLock);
  return impl_->channel != nullptr;
}

std::optional<std::string> CorvelConnection::peerFingerprint() const {
  std::lock_guard lock(impl_->infoMutex);
  return impl_->peerFingerprint;
}

std::optional<secure::SecureChannelError> CorvelConnection::securityFailure() const {
  std::lock_guard lock(impl_->infoMutex);
  return impl_->securityFailure;
}

std::optional<std::string> CorvelConnection::remoteHost() const {
  std::lock_guard lock(impl_->infoMutex);
  return impl_->remoteHost;
}

ConnectionRoute CorvelConnection::route() const { return classifyRoute(remoteHost(), holePunched()); }

LinkKind CorvelConnection::link() const {
  std::optional<boost::asio::ip::address> local;
  {
    std::lock_guard lock(impl_->infoMutex);
    local = impl_->localAddress;
  }
  if (!local) return LinkKind::other;
  return linkKindForInterface(interfaceOf(*local));
}

// ---- Helpers ----------------------------------------------------------------------------------

bool CorvelConnection::isLocalEndpoint(std::string_view host) {
  if (host.empty()) return false;
  std::string h(host);
  if (h.ends_with(".local") || h.ends_with(".local.") || h == "localhost") return true;
  boost::system::error_code ec;
  auto parsed = boost::asio::ip::make_address(h.substr(0, h.find('%')), ec);
  if (ec) return false;
  const auto address = unmapped(parsed);
  if (address.is_v4()) {
    auto b = address.to_v4().to_bytes();
    return b[0] == 10 || b[0] == 127 || (b[0] == 172 && (b[1] & 0xF0) == 16) ||
           (b[0] == 192 && b[1] == 168) || (b[0] == 169 && b[1] == 254);
  }
  auto b = address.to_v6().to_bytes();
  bool linkLocal = b[0] == 0xFE && (b[1] & 0xC0) == 0x80;
  bool uniqueLocal = (b[0] & 0xFE) == 0xFC;
  return linkLocal || uniqueLocal || address.to_v6().is_loopback();
}

void CorvelConnection::named(std::string name, std::chrono::milliseconds timeout,
                             std::function<void(std::optional<std::string>)> done) {
  struct Search {
    std::string name;
    std::function<void(std::optional<std::string>)> done;
    boost::asio::steady_timer poll{sharedPool()};
    std::chrono::steady_clock::time_point deadline;
    OnceFlag once;

    bool present() const { return NetworkInterfaces::current()->isUp(name); }
    static void check(const std::shared_ptr<Search>& s) {
      if (s->present()) {
        if (s->once.claim()) s->done(s->name);
        return;
      }
      if (std::chrono::steady_clock::now() >= s->deadline) {
        if (s->once.claim()) s->done(std::nullopt);
        return;
      }
      s->poll.expires_after(std::chrono::milliseconds(100));
      s->poll.async_wait([s](const boost::system::error_code&) { check(s); });
    }
  };
  auto search = std::make_shared<Search>();
  search->name = std::move(name);
  search->done = std::move(done);
  search->deadline = std::chrono::steady_clock::now() + timeout;
  boost::asio::post(sharedPool(), [search] { Search::check(search); });
}

}  // namespace corvel::net
