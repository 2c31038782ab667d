#pragma once

#include <cstddef>
#include <memory>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/SecretBytes.h"

namespace corvel::security {

// ML-DSA-87 (FIPS 204) signatures, pure mode with an empty context string.
struct MLDSA87 {
  static constexpr std::size_t seedSize = 32;
  static constexpr std::size_t publicKeySize = 2592;
  static constexpr std::size_t signatureSize = 4627;

  // A signing key, kept with the 32-byte seed it was made from so it can be stored and rebuilt.
  class PrivateKey {
   public:
    // A new key from the system's secure random generator.
    static PrivateKey generate();
    // Rebuilds the key a seed describes; throws std::invalid_argument for a seed of the wrong size.
    static PrivateKey fromSeed(ByteView seed);

    const SecretBytes& seed() const { return seed_; }
    const Bytes& publicKey() const { return publicKey_; }

    // A hedged signature (fresh randomness per signature). Throws CryptoFailure on failure.
    Bytes sign(ByteView message) const;

   private:
    PrivateKey() = default;
    SecretBytes seed_;
    SecretBytes expanded_;
    Bytes publicKey_;
  };

  // True only for a signature of the exact size that verifies under a public key of the exact size.
  static bool verify(ByteView publicKey, ByteView message, ByteView signature);
};

}  // namespace corvel::security
