#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/AccessKeyCache.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/MLDSA87.h"
#include "CorvelKit/security/RandomBytes.h"
#include "CorvelKit/security/XWing.h"

namespace corvel::security {
namespace {

// Known answers from an independent implementation.
const nlohmann::json& vectors() {
  static const nlohmann::json v = [] {
    std::ifstream in(std::string(CORVEL_TESTVECTORS_DIR) + "/pq-vectors.json");
    return nlohmann::json::parse(in);
  }();
  return v;
}

Bytes hex(const nlohmann::json& value) {
  Bytes out;
  EXPECT_TRUE(parseHex(value.get<std::string>(), out));
  return out;
}

TEST(MLDSA87KnownAnswers, KeysFromSeedsAndDeterministicSignatures) {
  ASSERT_FALSE(vectors()["mldsa87"].empty());
  for (const auto& v : vectors()["mldsa87"]) {
    auto key = MLDSA87::PrivateKey::fromSeed(hex(v["seed"]));
    EXPECT_EQ(hexString(key.publicKey()), v["publicKey"].get<std::string>());
    EXPECT_EQ(hexString(crypto::sha256({key.publicKey()})), v["publicKeySHA256"]);

    const Bytes message = hex(v["message"]);
    Bytes signature = hex(v["deterministicSignature"]);
    EXPECT_EQ(hexString(crypto::sha256({signature})), v["signatureSHA256"]);
    EXPECT_TRUE(MLDSA87::verify(key.publicKey(), message, signature));

    // The deterministic variant signs with 32 zero bytes of randomness.
    {
      const Bytes zeros(32, 0);
      ScopedSeededRandom deterministic(zeros);
      EXPECT_EQ(key.sign(message), signature);
      EXPECT_TRUE(deterministic.consumedExactly());
    }

    Bytes flipped = signature;
    flipped[flipped.size() / 2] ^= 0x01;
    EXPECT_FALSE(MLDSA87::verify(key.publicKey(), message, flipped));
    Bytes otherMessage = message;
    otherMessage.back() ^= 0x80;
    EXPECT_FALSE(MLDSA87::verify(key.publicKey(), otherMessage, signature));
    signature.pop_back();
    EXPECT_FALSE(MLDSA87::verify(key.publicKey(), message, signature));
  }
}

TEST(XWingKnownAnswers, KeysCiphertextsAndSharedSecrets) {
  ASSERT_FALSE(vectors()["xwing"].empty());
  for (const auto& v : vectors()["xwing"]) {
    auto key = XWing::PrivateKey::fromSeed(hex(v["seed"]));
    EXPECT_EQ(hexString(key.publicKey()), v["publicKey"].get<std::string>());

    // Decapsulating the published ciphertext gives the published secret: this covers ML-KEM
    // decapsulation, X25519 with the stored key and the combiner with its label.
    const Bytes ciphertext = hex(v["ciphertext"]);
    EXPECT_EQ(hexString(key.decapsulate(ciphertext)), v["sharedSecret"].get<std::string>());

    // The published encapsulation randomness carries zeros where the X25519 ephemeral key would
    // be, while the published X25519 shares differ from vector to vector: the generator drew that
    // key from elsewhere. What the given 64 bytes do determine is the ML-KEM ciphertext.
    const Bytes randomness = hex(v["encapsulationSeed"]);
    auto encapsulation = XWing::encapsulate(key.publicKey(), randomness);
    EXPECT_EQ(hexString(ByteView(encapsulation.ciphertext).first(1088)),
              hexString(ByteView(ciphertext).first(1088)));
    EXPECT_EQ(key.decapsulate(encapsulation.ciphertext), encapsulation.sharedSecret);
  }
}

TEST(XWingKnownAnswers, EphemeralShareIsTheX25519PublicKeyOfTheLastHalf) {
  // RFC 7748 section 6.1: Alice's private key and public key.
  Bytes randomness(32, 0x42);
  Bytes alice;
  ASSERT_TRUE(parseHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a", alice));
  append(randomness, alice);
  auto key = XWing::PrivateKey::fromSeed(Bytes(32, 1));
  auto encapsulation = XWing::encapsulate(key.publicKey(), randomness);
  EXPECT_EQ(hexString(ByteView(encapsulation.ciphertext).subspan(1088)),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
}

TEST(XWing, RandomRoundTripAndRefusedInput) {
  auto key = XWing::PrivateKey::generate();
  auto encapsulation = XWing::encapsulate(key.publicKey());
  EXPECT_EQ(key.decapsulate(encapsulation.ciphertext), encapsulation.sharedSecret);

  // A changed ML-KEM part is implicitly rejected: a different secret, not an error.
  Bytes altered = encapsulation.ciphertext;
  altered[10] ^= 1;
  EXPECT_FALSE(key.decapsulate(altered) == encapsulation.sharedSecret);

  Bytes shortCiphertext(encapsulation.ciphertext.begin(), encapsulation.ciphertext.end() - 1);
  EXPECT_THROW(key.decapsulate(shortCiphertext), std::invalid_argument);

  // A public key whose ML-KEM coefficients are not reduced modulo q fails the FIPS 203 check.
  Bytes unreduced = key.publicKey();
  unreduced[0] = 0xFF;
  unreduced[1] |= 0x0F;
  EXPECT_FALSE(XWing::isValidPublicKey(unreduced));
  EXPECT_THROW(XWing::encapsulate(unreduced), std::invalid_argument);
  EXPECT_FALSE(XWing::isValidPublicKey(ByteView(key.publicKey()).first(XWing::publicKeySize - 1)));

  // An all-zero X25519 share is a low-order point: refused rather than agreeing on zero.
  Bytes zeroShare = encapsulation.ciphertext;
  std::fill(zeroShare.end() - 32, zeroShare.end(), 0);
  EXPECT_THROW(key.decapsulate(zeroShare), CryptoFailure);
}

TEST(PBKDF2KnownAnswers, AccessKeys) {
  const auto& list = vectors()["pbkdf2"];
  ASSERT_FALSE(list.empty());
  for (const auto& v : list) {
    ASSERT_EQ(v["salt"], std::string(AccessCode::keySalt));
    ASSERT_EQ(v["iterations"], AccessCode::keyIterations);
    EXPECT_EQ(hexString(AccessCode::deriveKey(v["normalizedCode"].get<std::string>())),
              v["key"].get<std::string>())
        << v["normalizedCode"];
  }
}

}  // namespace
}  // namespace corvel::security
