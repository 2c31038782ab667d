#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "CorvelKit/base/Bytes.h"

namespace corvel::secure {

// Seals and opens the payloads of one connection with AES-256-GCM under a key per direction.
// Each direction counts its messages from 0; a message's nonce is 4 zero bytes and its number as a
// big-endian 64-bit integer, so nonces are never sent. A sealed payload is the ciphertext followed
// by the 16-byte tag. A message that is dropped, replayed, reordered or altered fails to open, and
// so does every message after it.
//
// Thread-safe: one lock keeps each counter step (and the use of the direction's cipher context,
// which is set up once with its key and reused for every message) atomic.
class SecureMessageChannel {
 public:
  static constexpr std::size_t keySize = 32;
  static constexpr std::size_t nonceSize = 12;
  static constexpr std::size_t tagSize = 16;

  // Throws std::invalid_argument for keys that are not 32 bytes.
  SecureMessageChannel(ByteView sendKey, ByteView receiveKey);
  ~SecureMessageChannel();
  SecureMessageChannel(const SecureMessageChannel&) = delete;
  SecureMessageChannel& operator=(const SecureMessageChannel&) = delete;

  // Ciphertext ‖ tag of the next outgoing message. Throws security::CryptoFailure if the cipher
  // fails.
  Bytes seal(ByteView plaintext);
  // The same into a caller's buffer of exactly plaintext.size() + tagSize bytes, which may begin
  // at the plaintext itself (sealing in place). Throws std::invalid_argument for another size.
  void seal(ByteView plaintext, std::span<std::uint8_t> out);

  // The plaintext of the next incoming message; throws SecureChannelError(tampered) when it is
  // shorter than a tag or does not authenticate.
  Bytes open(ByteView sealed);
  // The same into `out`, resized to the plaintext and reusing its buffer; `sealed` must not lie
  // inside `out` (openInPlace is for that). On failure `out` is wiped and emptied.
  void open(ByteView sealed, Bytes& out);
  // Opens `message` in place: on success it holds the plaintext; on failure it is wiped and emptied
  // and SecureChannelError(tampered) is thrown.
  void openInPlace(Bytes& message);

  // The nonce of message number `counter`.
  static std::array<std::uint8_t, nonceSize> nonce(std::uint64_t counter);

 private:
  struct Direction;
  void openInto(ByteView sealed, std::uint8_t* out);

  std::mutex lock_;
  std::unique_ptr<Direction> send_;
  std::unique_ptr<Direction> receive_;
  std::uint64_t sendCounter_ = 0;
  std::uint64_t receiveCounter_ = 0;
};

}  // namespace corvel::secure
