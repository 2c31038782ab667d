#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/SerialQueue.h"
#include "CorvelKit/net/ConnectionError.h"
#include "CorvelKit/net/ConnectionRoute.h"
#include "CorvelKit/net/LinkKind.h"
#include "CorvelKit/protocol/MessageType.h"

namespace corvel::security {
class SecureIdentity;
}
namespace corvel::secure {
class SecureMessageChannel;
}

namespace corvel::net {

class QuicStream;

// What a connection's owner hears about its life.
struct ConnectionState {
  enum class Kind { preparing, ready, failed, cancelled };
  Kind kind = Kind::preparing;
  // Why it failed: a network error, a TLS error, or authenticationFailed for a security failure.
  std::error_code error;
  // The failure came from the TLS layer while it was being set up: the peer holds another access
  // code (or speaks no TLS at all).
  bool tlsFailure = false;
};

std::string_view name(ConnectionState::Kind kind);

struct Endpoint {
  std::string host;
  std::uint16_t port = 0;
};

// The one object client and host talk through: TCP, TLS 1.2 keyed with the access code, the
// framing, then the secure handshake, after which every message is sealed. On hole-punched paths
// QUIC (TLS 1.3 keyed with the same code) carries the same framed bytes on one stream instead of
// TCP and TLS; everything above the transport is the same.
//
// Owners give their handlers (and, for a client, the pinned fingerprint) when they make the
// connection, then call start(). Every callback runs on the connection's own serial queue, one at
// a time, and never while the connection holds a lock of its own: a handler may call any member
// of its connection, send(), cancel() and detach() included. `ready` is reported once, after the
// handshake; a connection ends with exactly one `failed` or `cancelled`. send() may be called from
// any thread: sealing and queueing happen as one step under the send lock, so the wire order is
// the sealing order.
//
// Lifetime: in-flight I/O keeps the object alive; owners cancel() before they let go of it.
class CorvelConnection : public std::enable_shared_from_this<CorvelConnection> {
 public:
  // The payload is wiped when the handler returns: a handler that keeps it moves it out, and
  // then wipes it itself (security::SecretBytes does).
  using MessageHandler = std::function<void(protocol::MessageType, Bytes& payload)>;
  using StateHandler = std::function<void(const ConnectionState&)>;
  using ViabilityHandler = std::function<void(bool viable)>;
  using Completion = std::function<void(std::error_code)>;

  // What the connection tells its owner; any of them may be empty. Handlers reach their owner
  // through a weak_ptr (or own what they touch): see detach().
  struct Handlers {
    // A message opened from the peer, after the handshake.
    MessageHandler message;
    StateHandler state;
    // Whether the path can carry traffic. TCP paths do not report it (yet).
    ViabilityHandler viability;
  };

  // How a client connection goes out.
  struct ClientOptions {
    // Binds the socket to that interface.
    std::optional<std::string> requiredInterface;
    // The host identity fingerprint the handshake must prove; another one fails the connection
    // with identityChanged before the finish message is sent.
    std::optional<std::string> pinnedFingerprint;
    // Who this side is; nullptr for the shared identity.
    const security::SecureIdentity* identity = nullptr;
    // Go over QUIC (a hole-punched path) instead of TCP, from this local UDP port (0: any), bound
    // with address reuse so that it may be the port a STUN discovery used.
    bool quic = false;
    std::uint16_t quicLocalPort = 0;
    // How long the QUIC handshake may take. A hole-punched path opens only when the host next
    // looks for viewers and punches toward them, which can be half a minute away.
    std::chrono::milliseconds quicHandshakeTimeout{10'000};
  };

  // Most bytes a connection queues for a peer that does not read; a send beyond it fails with
  // noBufferSpace before anything is sealed.
  static constexpr std::size_t maxQueuedBytes = 64u << 20;
  // The largest frame a peer may announce before the secure channel is open (handshake messages
  // are a few KiB) and after it; a larger one closes the connection at its header, before any of
  // it is gathered.
  static constexpr std::uint32_t maxHandshakeBytes = 64u << 10;
  static constexpr std::uint32_t maxMessageBytes = 64u << 20;
  // Once TCP is up, TLS and the secure handshake must be through within this long; a peer that
  // stalls them fails the connection with a time-out (not a wrong code).
  static constexpr std::chrono::seconds setupTimeout{5};

  // A client connection to `endpoint`. Derives the access key (slow the first time for a code,
  // then cached). A local endpoint never goes out through a mobile interface.
  static std::shared_ptr<CorvelConnection> client(Endpoint endpoint, std::string_view accessCode,
                                                   Handlers handlers = {});
  static std::shared_ptr<CorvelConnection> client(Endpoint endpoint, std::string_view accessCode,
                                                   Handlers handlers, ClientOptions options);
  // The host's side of an accepted TCP connection.
  static std::shared_ptr<CorvelConnection> server(boost::asio::ip::tcp::socket socket,
                                                   std::string_view accessCode,
                                                   Handlers handlers = {},
                                                   const security::SecureIdentity* identity = nullptr);
  // The host's side of a connection a QuicListener accepted.
  static std::shared_ptr<CorvelConnection> server(std::shared_ptr<QuicStream> stream,
                                                   std::string_view accessCode,
                                                   Handlers handlers = {},
                                                   const security::SecureIdentity* identity = nullptr);
  ~CorvelConnection();
  CorvelConnection(const CorvelConnection&) = delete;
  CorvelConnection& operator=(const CorvelConnection&) = delete;

  void start();
  void cancel();
  // Drops the handlers, for owners about to go away. It never waits, so it may be called from
  // anywhere: a handler (of this connection or another), a thread of the shared pool, a
  // destructor.
  //
  // The guarantee: once detach() returns, no delivery picks up the handlers, so no callback
  // starts - except that a delivery already under way on the connection's queue (on another
  // thread) when detach() was called may still call its handler, or still be running it, after
  // detach() returns. Called from inside a handler there is no such delivery: the next one finds
  // nothing. The handlers, with what they captured, are released as soon as no delivery holds
  // them. That late callback is why handlers reach their owners through weak_ptrs (or share the
  // state they write to) and never through raw pointers: it then finds its owner gone, or writes
  // where it still may. Completions given to send() are not handlers: they still run.
  void detach();

  // Seals `payload` and sends it as one frame. Fails with notConnected before the handshake is
  // done or after the connection ended, noBufferSpace when the peer stopped reading.
  void send(protocol::MessageType type, ByteView payload, Completion completion = {});
  // JSON-encodes `value` first; an encoding failure completes with invalidArgument.
  template <class T>
  void sendJSON(protocol::MessageType type, const T& value, Completion completion = {}) {
    auto encoded = JSONCoding::encode(value);
    if (!encoded) {
      completeNow(std::move(completion), ConnectionErrc::invalidArgument);
      return;
    }
    send(type, *encoded, std::move(completion));
  }
  template <class T>
  static Expected<T, DecodingError> decode(ByteView payload) {
    return JSONCoding::decode<T>(payload);
  }

  bool isSecure() const;
  bool isServer() const { return server_; }
  // True for connections over QUIC (hole-punched paths).
  bool holePunched() const;
  // The other side's identity fingerprint, once the handshake proved it.
  std::optional<std::string> peerFingerprint() const;
  // Why the security layer failed the connection, if it did.
  std::optional<secure::SecureChannelError> securityFailure() const;

  // The peer's address as text (IPv4 for IPv4-mapped addresses), or the endpoint's host name
  // before connecting.
  std::optional<std::string> remoteHost() const;
  ConnectionRoute route() const;
  LinkKind link() const;
  const SerialQueue& queue() const { return queue_; }

  // Waits up to `timeout` for a network interface of that name to be up; calls `done` once, on
  // the shared pool, with the name or nothing.
  static void named(std::string name, std::chrono::milliseconds timeout,
                    std::function<void(std::optional<std::string>)> done);
  // Whether a host text names something on the local network (".local", "localhost", private,
  // link-local and loopback addresses).
  static bool isLocalEndpoint(std::string_view host);

 private:
  struct Impl;
  CorvelConnection(bool server, std::string_view accessCode,
                   const security::SecureIdentity* identity, Handlers handlers);
  void completeNow(Completion completion, std::error_code ec);

  // The steps of the connection's life, all on its strand.
  void resolve();
  void connect(std::vector<boost::asio::ip::tcp::endpoint> endpoints, std::size_t index,
               boost::system::error_code lastError);
  void connectQuic(const std::vector<boost::asio::ip::tcp::endpoint>& endpoints);
  void armSetupDeadline();
  void startTls();
  void transportUp();
  void readLoop();
  void received(std::size_t n, std::error_code error, bool peerLeft);
  // A frame the framer handed out in place.
  void handle(protocol::MessageType type, ByteView payload);
  // The frame that was read straight into the receive buffer.
  void handleInbound(protocol::MessageType type);
  void handleHandshake(protocol::MessageType type, ByteView payload);
  // Hands the opened payload in the receive buffer to the owner, then wipes it.
  void deliverInbound(protocol::MessageType type);
  std::shared_ptr<secure::SecureMessageChannel> sealedChannel() const;
  void established(std::unique_ptr<secure::SecureMessageChannel> channel);
  void failSecurity(const secure::SecureChannelError& error);
  void end(ConnectionState state);
  // The handlers as they are now (nullptr once detached); callers call them with no lock held.
  std::shared_ptr<const Handlers> handlers() const;
  // Tells the owner's state handler, if there is one.
  void notify(const ConnectionState& state);
  // Queues a handshake message, unsealed.
  void enqueue(protocol::MessageType type, Bytes payload);
  // Queues a frame; true when no write is posted or under way, so the caller starts one.
  [[nodiscard]] bool push(Bytes frame, Completion completion);
  // Starts the writer: at once on the connection's queue, else posted there.
  void kickWriter();
  void writeNext();
  struct Outgoing;
  void written(std::vector<Outgoing>& batch, std::size_t bytes, std::error_code ec);

  const bool server_;
  SerialQueue queue_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::net
