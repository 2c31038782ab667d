#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/net/ConnectionRoute.h"
#include "CorvelKit/protocol/MessageType.h"

namespace corvel::net {
struct ConnectionState;
}

namespace ambrel {

// Which secret a connection's key was derived from.
enum class KeySource {
  accessCode,   // the everyday access code
  supportCode,  // the one-time code of a support session
};

// What a connection tells its owner, on the connection's own queue.
struct ConnectionEvents {
  // An opened message; the payload may be moved from.
  std::function<void(corvel::protocol::MessageType, corvel::Bytes&)> message;
  std::function<void(const corvel::net::ConnectionState&)> state;
};

// One client's secured connection, as the host's logic uses it. The real one is a
// CorvelConnection (CorvelClientConnection); tests use a fake that records what was sent.
class ClientConnection {
 public:
  using Completion = std::function<void(std::error_code)>;

  virtual ~ClientConnection() = default;

  // Starts the connection; `events` are called until cancel() or detach().
  virtual void start(ConnectionEvents events) = 0;
  // Seals and sends one message; any thread. A message that cannot be sent (not yet secure,
  // ended) is dropped, and `completion` hears why.
  virtual void send(corvel::protocol::MessageType type, corvel::ByteView payload,
                    Completion completion = {}) = 0;
  virtual void cancel() = 0;
  // No event starts after this returns.
  virtual void detach() = 0;

  virtual KeySource keySource() const = 0;
  // The identity fingerprint the peer's handshake proved, once it did.
  virtual std::optional<std::string> peerFingerprint() const = 0;
  virtual bool isSecure() const = 0;
  // The connection failed in TLS or the secure handshake: the peer holds another code.
  virtual bool failedSecurity(const corvel::net::ConnectionState& state) const = 0;
  virtual corvel::net::ConnectionRoute route() const = 0;

  // JSON-encodes `value` and sends it; a value that cannot be encoded is dropped.
  template <class T>
  void sendJSON(corvel::protocol::MessageType type, const T& value) {
    if (auto encoded = corvel::JSONCoding::encode(value)) send(type, *encoded);
  }
};

}  // namespace ambrel
