#include "CorvelKit/security/MLDSA87.h"

#include <stdexcept>

#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/RandomBytes.h"

// PQClean's headers have no C++ linkage guards of their own.
extern "C" {
#include "crypto_sign/ml-dsa-87/clean/api.h"
}

namespace corvel::security {

static_assert(MLDSA87::publicKeySize == PQCLEAN_MLDSA87_CLEAN_CRYPTO_PUBLICKEYBYTES);
static_assert(MLDSA87::signatureSize == PQCLEAN_MLDSA87_CLEAN_CRYPTO_BYTES);

namespace {
// An empty message may come as a null pointer, which PQClean would hand on to memcpy.
const std::uint8_t* messagePointer(ByteView message) {
  static const std::uint8_t none = 0;
  return message.empty() ? &none : message.data();
}
}  // namespace

MLDSA87::PrivateKey MLDSA87::PrivateKey::generate() {
  SecretBytes seed(seedSize);
  fillRandom({seed.data(), seed.size()});
  return fromSeed(seed);
}

MLDSA87::PrivateKey MLDSA87::PrivateKey::fromSeed(ByteView seed) {
  if (seed.size() != seedSize) throw std::invalid_argument("ML-DSA-87 seed must be 32 bytes");
  PrivateKey key;
  key.seed_ = SecretBytes(seed);
  key.expanded_ = SecretBytes(PQCLEAN_MLDSA87_CLEAN_CRYPTO_SECRETKEYBYTES);
  key.publicKey_.resize(publicKeySize);
  // Key generation draws exactly the 32-byte seed ξ from the random source (FIPS 204 KeyGen).
  ScopedSeededRandom source(seed);
  if (PQCLEAN_MLDSA87_CLEAN_crypto_sign_keypair(key.publicKey_.data(), key.expanded_.data()) != 0 ||
      !source.consumedExactly()) {
    throw CryptoFailure("ML-DSA-87 key generation");
  }
  return key;
}

Bytes MLDSA87::PrivateKey::sign(ByteView message) const {
  Bytes signature(signatureSize);
  std::size_t length = 0;
  if (PQCLEAN_MLDSA87_CLEAN_crypto_sign_signature(signature.data(), &length, messagePointer(message),
                                                  message.size(), expanded_.data()) != 0 ||
      length != signatureSize) {
    throw CryptoFailure("ML-DSA-87 signing");
  }
  return signature;
}

bool MLDSA87::verify(ByteView publicKey, ByteView message, ByteView signature) {
  if (publicKey.size() != publicKeySize || signature.size() != signatureSize) return false;
  return PQCLEAN_MLDSA87_CLEAN_crypto_sign_verify(signature.data(), signature.size(),
                                                  messagePointer(message), message.size(),
                                                  publicKey.data()) == 0;
}

}  // namespace corvel::security
