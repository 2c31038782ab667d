#pragma once

#include <cstddef>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/SecretBytes.h"

namespace corvel::security {

// X-Wing key encapsulation: ML-KEM-768 combined with X25519.
//
// Key generation expands a 32-byte seed with SHAKE256 to 96 bytes: ML-KEM's d‖z, then the X25519
// private key. The public key is the ML-KEM key followed by the X25519 key; a ciphertext is the
// ML-KEM ciphertext followed by the X25519 ephemeral public key; the shared secret is
// SHA3-256(ss_M ‖ ss_X ‖ ct_X ‖ pk_X ‖ "\.//^\").
struct XWing {
  static constexpr std::size_t seedSize = 32;
  static constexpr std::size_t encapsulationSeedSize = 64;
  static constexpr std::size_t publicKeySize = 1216;
  static constexpr std::size_t ciphertextSize = 1120;
  static constexpr std::size_t sharedSecretSize = 32;

  class PrivateKey {
   public:
    static PrivateKey generate();
    // Throws std::invalid_argument for a seed of the wrong size.
    static PrivateKey fromSeed(ByteView seed);

    const Bytes& publicKey() const { return publicKey_; }
    // Throws std::invalid_argument for a ciphertext of the wrong size and CryptoFailure when the
    // X25519 part is refused (a low-order point).
    SecretBytes decapsulate(ByteView ciphertext) const;

   private:
    PrivateKey() = default;
    SecretBytes mlkemSecret_;
    SecretBytes x25519Secret_;
    Bytes publicKey_;
  };

  struct Encapsulation {
    SecretBytes sharedSecret;
    Bytes ciphertext;
  };

  // Whether `publicKey` has the right size and its ML-KEM part passes the FIPS 203 modulus check.
  static bool isValidPublicKey(ByteView publicKey);

  // Encapsulates to a peer's public key with fresh randomness. Throws std::invalid_argument for a
  // public key that is not valid and CryptoFailure when X25519 refuses the peer's key.
  static Encapsulation encapsulate(ByteView publicKey);
  // The same with the 64 bytes of randomness given: the first 32 for ML-KEM, the last 32 as the
  // X25519 ephemeral private key.
  static Encapsulation encapsulate(ByteView publicKey, ByteView randomness);
};

}  // namespace corvel::security
