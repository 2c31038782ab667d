#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/SecretBytes.h"
#include "CorvelKit/security/XWing.h"

namespace corvel::security {
class SecureIdentity;
}

namespace corvel::secure {

// The three-message handshake that runs on every connection once its transport is up. It agrees
// an ephemeral X-Wing secret, proves both devices' ML-DSA-87 identities by signing the running
// transcript, and derives the session keys from the secret, the transcript and the access key.
//
//   client                                   server
//   makeClientHello()  -- nonce, identity -->  respond()
//   finish()  <-- ephemeral key, identity, signature --
//   finish()  -- encapsulation, signature -->  complete()
//
// The payloads are byte-string fields (see encodeFields). Every step throws SecureChannelError;
// a step called out of turn is `outOfOrder`, and after any failure the object refuses every step.
// One object serves one connection; it has no lock of its own (the connection's queue serialises
// it).
class SecureHandshake {
 public:
  enum class Role { client, server };

  static constexpr std::string_view transcriptLabel = "corvel-secure-v1";
  static constexpr std::string_view clientToServerInfo = "corvel c2s";
  static constexpr std::string_view serverToClientInfo = "corvel s2c";
  static constexpr std::size_t maxFieldLength = 1 << 20;
  static constexpr std::size_t nonceSize = 32;

  // `accessKey` is the 32-byte key derived from the access code.
  SecureHandshake(Role role, ByteView accessKey, const security::SecureIdentity& identity);
  // A copy continues from the same point (tests and fuzzing start many runs from one prepared
  // state).
  SecureHandshake(const SecureHandshake&) = default;
  SecureHandshake& operator=(const SecureHandshake&) = delete;
  ~SecureHandshake();

  Role role() const { return role_; }

  // Client: the first message.
  Bytes makeClientHello();
  // Server: answers the client's hello.
  Bytes respond(ByteView clientHello);

  struct Finished {
    Bytes finishMessage;
    std::unique_ptr<SecureMessageChannel> channel;
  };
  // Client: checks the server's hello and returns the last message and the channel. The caller
  // checks a pinned fingerprint of peerIdentity() before it sends the message.
  Finished finish(ByteView serverHello);
  // Server: checks the client's finish and returns the channel.
  std::unique_ptr<SecureMessageChannel> complete(ByteView finishMessage);

  // The raw identity public key of the other side, once the step that carries it succeeded.
  const std::optional<Bytes>& peerIdentity() const { return peerIdentity_; }
  const Bytes& transcript() const { return transcript_; }

  // Each field as a 4-byte big-endian length and its bytes, concatenated.
  static Bytes encodeFields(const std::vector<ByteView>& fields);
  // Exactly `expectedCount` fields filling `message`, each at most maxFieldLength bytes; anything
  // else throws SecureChannelError(malformed). The views point into `message`.
  static std::vector<ByteView> decodeFields(ByteView message, std::size_t expectedCount);

 private:
  enum class State { start, helloSent, answered, done, failed };

  template <class F>
  auto step(State expected, F&& body);
  std::unique_ptr<SecureMessageChannel> deriveChannel(ByteView sharedSecret) const;

  Role role_;
  security::SecretBytes accessKey_;
  const security::SecureIdentity* identity_;
  State state_ = State::start;
  Bytes transcript_;
  std::optional<security::XWing::PrivateKey> serverEphemeral_;
  std::optional<Bytes> clientIdentity_;
  std::optional<Bytes> peerIdentity_;
};

}  // namespace corvel::secure
