#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/SecretBytes.h"

namespace corvel::security {

// A primitive of the underlying library failed (out of memory, a refused key). Callers in the
// handshake turn it into their own error.
struct CryptoFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Hashes and key derivations used by the security code. Each digest takes the concatenation of
// its parts, so callers need not build the joined buffer.
namespace crypto {

std::array<std::uint8_t, 32> sha256(std::initializer_list<ByteView> parts);
std::array<std::uint8_t, 64> sha512(std::initializer_list<ByteView> parts);
std::array<std::uint8_t, 32> sha3_256(std::initializer_list<ByteView> parts);
// SHAKE256 of `input`, squeezed to out.size() bytes.
void shake256(ByteView input, std::span<std::uint8_t> out);

// HKDF (RFC 5869) with SHA-512: extract with `salt`, expand with `info`.
SecretBytes hkdfSha512(ByteView inputKey, ByteView salt, ByteView info, std::size_t length);

// PBKDF2 with HMAC-SHA-256.
SecretBytes pbkdf2Sha256(ByteView password, ByteView salt, unsigned iterations, std::size_t length);

}  // namespace crypto
}  // namespace corvel::security
