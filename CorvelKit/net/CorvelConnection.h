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
// framing, then the secure handshake, after which every message is sealed.
//
// Owners set the callbacks and the pinned fingerprint, then call start(). Every callback runs on
// the connection's own serial queue. `ready` is reported once, after the handshake; a connection
// ends with exactly one `failed` or `cancelled`. send() may be called from any thread: sealing and
// queueing happen as one step under the send lock, so the wire order is the sealing order.
//
// Lifetime: in-flight I/O keeps the object alive; owners cancel() before they let go of it.
class CorvelConnection : public std::enable_shared_from_this<CorvelConnection> {
 public:
  using MessageHandler = std::function<void(protocol::MessageType, Bytes payload)>;
  using StateHandler = std::function<void(const ConnectionState&)>;
  using Completion = std::function<void(std::error_code)>;

  // Most bytes a connection queues for a peer that does not read; a send beyond it fails with
  // noBufferSpace before anything is sealed.
  static constexpr std::size_t maxQueuedBytes = 64u << 20;

  // A client connection to `endpoint`. Derives the access key (slow the first time for a code,
  // then cached). With `requiredInterface` the socket is bound to that interface; a local endpoint
  // never goes out through a mobile interface.
  static std::shared_ptr<CorvelConnection> client(Endpoint endpoint, std::string_view accessCode,
                                                   std::optional<std::string> requiredInterface = {},
                                                   const security::SecureIdentity* identity = nullptr);
  // The host's side of an accepted TCP connection.
  static std::shared_ptr<CorvelConnection> server(boost::asio::ip::tcp::socket socket,
                                                   std::string_view accessCode,
                                                   const security::SecureIdentity* identity = nullptr);
  ~CorvelConnection();
  CorvelConnection(const CorvelConnection&) = delete;
  CorvelConnection& operator=(const CorvelConnection&) = delete;

  // Set before start().
  MessageHandler onMessage;
  StateHandler onStateChange;
  std::function<void(bool)> onViabilityChange;
  std::optional<std::string> expectedPeerFingerprint;

  void start();
  void cancel();
  // Drops every callback and returns once none runs any more (waiting for one running on another
  // thread to finish); for owners whose callbacks point at things about to go away. A callback
  // may detach its own connection.
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
  bool holePunched() const { return false; }
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
                   const security::SecureIdentity* identity);
  void completeNow(Completion completion, std::error_code ec);

  // The steps of the connection's life, all on its strand.
  void resolve();
  void connect(std::vector<boost::asio::ip::tcp::endpoint> endpoints, std::size_t index,
               boost::system::error_code lastError);
  void startTls();
  void readLoop();
  void handle(protocol::MessageType type, ByteView payload);
  void established(std::unique_ptr<secure::SecureMessageChannel> channel);
  void failSecurity(const secure::SecureChannelError& error);
  void end(ConnectionState state);
  // Runs onStateChange, if set, under the callback lock.
  void notify(const ConnectionState& state);
  // Queues a handshake message, unsealed.
  void enqueue(protocol::MessageType type, Bytes payload);
  void push(Bytes frame, Completion completion);
  void writeNext();

  const bool server_;
  SerialQueue queue_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::net
