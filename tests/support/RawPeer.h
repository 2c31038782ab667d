#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/protocol/MessageType.h"

namespace corvel::security {
class SecureIdentity;
}
namespace corvel::secure {
class SecureMessageChannel;
}

namespace corvel::test {

// A hand-driven client for tests that need a peer to break the rules: it connects to 127.0.0.1,
// passes TLS with the given key and then writes whatever frames the test asks for, blocking.
class RawPeer {
 public:
  // A `receiveBuffer` above 0 fixes the socket's receive buffer at that size (the kernel doubles
  // it), so a peer that stops reading holds the sender back soon. A `sourceAddress` (an IPv4
  // loopback address such as 127.0.1.7) is the address the host sees. Throws
  // boost::system::system_error when TCP or TLS fails.
  RawPeer(std::uint16_t port, ByteView accessKey, int receiveBuffer = 0,
          std::string_view sourceAddress = {});
  ~RawPeer();

  void sendFrame(protocol::MessageType type, ByteView payload);
  // Only a frame's header, announcing `length` bytes that never come.
  void sendHeader(protocol::MessageType type, std::uint32_t length);
  // The next frame, or nothing when the connection closed.
  std::optional<std::pair<protocol::MessageType, Bytes>> readFrame();
  // Runs the client side of the secure handshake and returns the channel.
  std::unique_ptr<secure::SecureMessageChannel> runClientHandshake(
      const security::SecureIdentity& identity);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::test
