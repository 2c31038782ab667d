#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/SecretBytes.h"

namespace corvel::cloud {

// The key every device of one owner derives from the owner secret, and the sealing of a record's
// private fields (access code, identity, tokens) with it: AES-256-GCM, so that a database the
// owner's devices share never holds those values in the clear, and a device without the secret
// reads only the plain fields.
//
// Key: PBKDF2-HMAC-SHA-256 stretches the secret (people type it, so it may be short), HKDF-SHA-512
// turns that into the 32-byte field key. Sealed value (a bytes field of the record):
//   version 1 (1 byte) | nonce (12 random bytes) | ciphertext | tag (16 bytes)
// authenticated together with the record type, record name and field key, so that a sealed value
// copied into another record or field does not open.
class OwnerKey {
 public:
  static constexpr std::uint8_t version = 1;
  static constexpr std::size_t nonceSize = 12;
  static constexpr std::size_t tagSize = 16;
  static constexpr std::size_t overhead = 1 + nonceSize + tagSize;
  static constexpr unsigned stretchIterations = 100'000;

  // Refuses (nothing) an empty secret, or one of only white space.
  static std::optional<OwnerKey> derive(std::string_view secret);

  Bytes seal(std::string_view recordType, std::string_view recordName, std::string_view field,
             std::string_view text) const;
  // Nothing when `sealed` was not made by this key for this field (another secret, another record,
  // altered bytes) or does not hold UTF-8 text. Never throws on any input.
  std::optional<std::string> open(std::string_view recordType, std::string_view recordName,
                                  std::string_view field, ByteView sealed) const;

  // For tests: a key from its 32 bytes, without derivation.
  static OwnerKey fromBytes(ByteView key);

 private:
  explicit OwnerKey(security::SecretBytes key) : key_(std::move(key)) {}
  security::SecretBytes key_;
};

}  // namespace corvel::cloud
