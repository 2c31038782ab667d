#include "CorvelKit/security/XWing.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include <openssl/evp.h>

#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/OpenSSLHandles.h"
#include "CorvelKit/security/RandomBytes.h"

// PQClean's headers have no C++ linkage guards of their own.
extern "C" {
#include "crypto_kem/ml-kem-768/clean/api.h"
}

// The derandomised entry points of the same PQClean unit (kem.h), which api.h does not declare.
extern "C" {
int PQCLEAN_MLKEM768_CLEAN_crypto_kem_keypair_derand(std::uint8_t* pk, std::uint8_t* sk,
                                                     const std::uint8_t* coins);
int PQCLEAN_MLKEM768_CLEAN_crypto_kem_enc_derand(std::uint8_t* ct, std::uint8_t* ss,
                                                 const std::uint8_t* pk, const std::uint8_t* coins);
}

namespace corvel::security {

namespace {

constexpr std::size_t kMlkemPublicKeySize = PQCLEAN_MLKEM768_CLEAN_CRYPTO_PUBLICKEYBYTES;
constexpr std::size_t kMlkemSecretKeySize = PQCLEAN_MLKEM768_CLEAN_CRYPTO_SECRETKEYBYTES;
constexpr std::size_t kMlkemCiphertextSize = PQCLEAN_MLKEM768_CLEAN_CRYPTO_CIPHERTEXTBYTES;
constexpr std::size_t kX25519Size = 32;
// The polynomial vector part of an ML-KEM-768 public key: 3 × 256 coefficients of 12 bits.
constexpr std::size_t kMlkemPolyVecBytes = 1152;
constexpr std::uint16_t kMlkemQ = 3329;
constexpr std::array<std::uint8_t, 6> kLabel = {'\\', '.', '/', '/', '^', '\\'};

static_assert(XWing::publicKeySize == kMlkemPublicKeySize + kX25519Size);
static_assert(XWing::ciphertextSize == kMlkemCiphertextSize + kX25519Size);

PKeyPtr x25519Private(ByteView secret) {
  PKeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret.data(), secret.size()));
  if (!key) throw CryptoFailure("X25519 private key");
  return key;
}

std::array<std::uint8_t, kX25519Size> x25519PublicOf(const PKeyPtr& key) {
  std::array<std::uint8_t, kX25519Size> out{};
  std::size_t length = out.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) != 1 || length != out.size()) {
    throw CryptoFailure("X25519 public key");
  }
  return out;
}

// X25519(own, peer). OpenSSL refuses a result of all zeros (a low-order peer point).
SecretBytes x25519(const PKeyPtr& own, ByteView peerPublic) {
  PKeyPtr peer(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublic.data(), peerPublic.size()));
  PKeyContextPtr ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
  SecretBytes shared(kX25519Size);
  std::size_t length = shared.size();
  if (!peer || !ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), shared.data(), &length) != 1 || length != kX25519Size) {
    throw CryptoFailure("X25519");
  }
  return shared;
}

SecretBytes combine(ByteView mlkemShared, ByteView x25519Shared, ByteView ciphertextX,
                    ByteView publicX) {
  auto digest = crypto::sha3_256({mlkemShared, x25519Shared, ciphertextX, publicX, kLabel});
  SecretBytes out(digest);
  secureWipe(digest.data(), digest.size());
  return out;
}

}  // namespace

XWing::PrivateKey XWing::PrivateKey::generate() {
  SecretBytes seed(seedSize);
  fillRandom({seed.data(), seed.size()});
  return fromSeed(seed);
}

XWing::PrivateKey XWing::PrivateKey::fromSeed(ByteView seed) {
  if (seed.size() != seedSize) throw std::invalid_argument("X-Wing seed must be 32 bytes");
  SecretBytes expanded(96);
  crypto::shake256(seed, {expanded.data(), expanded.size()});

  PrivateKey key;
  key.publicKey_.resize(publicKeySize);
  key.mlkemSecret_ = SecretBytes(kMlkemSecretKeySize);
  if (PQCLEAN_MLKEM768_CLEAN_crypto_kem_keypair_derand(key.publicKey_.data(),
                                                       key.mlkemSecret_.data(),
                                                       expanded.data()) != 0) {
    throw CryptoFailure("ML-KEM-768 key generation");
  }
  key.x25519Secret_ = SecretBytes(expanded.view().subspan(64, kX25519Size));
  auto publicX = x25519PublicOf(x25519Private(key.x25519Secret_));
  std::copy(publicX.begin(), publicX.end(), key.publicKey_.begin() + kMlkemPublicKeySize);
  return key;
}

SecretBytes XWing::PrivateKey::decapsulate(ByteView ciphertext) const {
  if (ciphertext.size() != ciphertextSize) {
    throw std::invalid_argument("X-Wing ciphertext has the wrong size");
  }
  const ByteView ciphertextM = ciphertext.first(kMlkemCiphertextSize);
  const ByteView ciphertextX = ciphertext.subspan(kMlkemCiphertextSize);
  SecretBytes sharedM(PQCLEAN_MLKEM768_CLEAN_CRYPTO_BYTES);
  if (PQCLEAN_MLKEM768_CLEAN_crypto_kem_dec(sharedM.data(), ciphertextM.data(),
                                            mlkemSecret_.data()) != 0) {
    throw CryptoFailure("ML-KEM-768 decapsulation");
  }
  SecretBytes sharedX = x25519(x25519Private(x25519Secret_), ciphertextX);
  return combine(sharedM, sharedX, ciphertextX, ByteView(publicKey_).subspan(kMlkemPublicKeySize));
}

bool XWing::isValidPublicKey(ByteView publicKey) {
  if (publicKey.size() != publicKeySize) return false;
  // FIPS 203 7.2: every 12-bit coefficient of the encoded vector must be reduced modulo q.
  for (std::size_t i = 0; i < kMlkemPolyVecBytes; i += 3) {
    const std::uint16_t a = static_cast<std::uint16_t>(publicKey[i] | (publicKey[i + 1] & 0x0F) << 8);
    const std::uint16_t b = static_cast<std::uint16_t>(publicKey[i + 1] >> 4 | publicKey[i + 2] << 4);
    if (a >= kMlkemQ || b >= kMlkemQ) return false;
  }
  return true;
}

XWing::Encapsulation XWing::encapsulate(ByteView publicKey) {
  SecretBytes randomness(encapsulationSeedSize);
  fillRandom({randomness.data(), randomness.size()});
  return encapsulate(publicKey, randomness);
}

XWing::Encapsulation XWing::encapsulate(ByteView publicKey, ByteView randomness) {
  if (!isValidPublicKey(publicKey)) throw std::invalid_argument("X-Wing public key is not valid");
  if (randomness.size() != encapsulationSeedSize) {
    throw std::invalid_argument("X-Wing encapsulation takes 64 bytes of randomness");
  }
  const ByteView publicM = publicKey.first(kMlkemPublicKeySize);
  const ByteView publicX = publicKey.subspan(kMlkemPublicKeySize);

  Encapsulation out;
  out.ciphertext.resize(ciphertextSize);
  SecretBytes sharedM(PQCLEAN_MLKEM768_CLEAN_CRYPTO_BYTES);
  if (PQCLEAN_MLKEM768_CLEAN_crypto_kem_enc_derand(out.ciphertext.data(), sharedM.data(),
                                                   publicM.data(), randomness.data()) != 0) {
    throw CryptoFailure("ML-KEM-768 encapsulation");
  }
  PKeyPtr ephemeral = x25519Private(randomness.subspan(32, kX25519Size));
  auto ciphertextX = x25519PublicOf(ephemeral);
  std::copy(ciphertextX.begin(), ciphertextX.end(), out.ciphertext.begin() + kMlkemCiphertextSize);
  SecretBytes sharedX = x25519(ephemeral, publicX);
  out.sharedSecret = combine(sharedM, sharedX, ciphertextX, publicX);
  return out;
}

}  // namespace corvel::security
