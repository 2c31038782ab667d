#include <regex>

#include <gtest/gtest.h>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/security/Keychain.h"
#include "CorvelKit/security/MLDSA87.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::security {
namespace {

constexpr const char* kService = "com.pinebay.corvel.identity.tests";

class SecureIdentityTest : public ::testing::Test {
 protected:
  test::TemporaryHome home_;
};

TEST(SecureIdentityFingerprint, IsTheFirstHalfOfSHA256InGroupsOfFour) {
  // SHA-256 of the first known-answer ML-DSA-87 public key starts f7769d7683018e2a6e912b1d52989369.
  const Bytes seed = [] {
    Bytes s;
    parseHex("00070e151c232a31383f464d545b626970777e858c939aa1a8afb6bdc4cbd2d9", s);
    return s;
  }();
  auto key = MLDSA87::PrivateKey::fromSeed(seed);
  EXPECT_EQ(SecureIdentity::fingerprint(key.publicKey()),
            "F776 9D76 8301 8E2A 6E91 2B1D 5298 9369");

  const std::regex format("^[0-9A-F]{4}( [0-9A-F]{4}){7}$");
  for (const Bytes& input : {Bytes{}, Bytes{1, 2, 3}, Bytes(2592, 0xFF)}) {
    EXPECT_TRUE(std::regex_match(SecureIdentity::fingerprint(input), format));
  }
}

TEST_F(SecureIdentityTest, MakesAKeyOnceAndReloadsItFromItsSeed) {
  std::string first;
  {
    SecureIdentity identity(kService);
    EXPECT_FALSE(identity.isHardwareBacked());
    EXPECT_FALSE(identity.isBiometricProtected());
    first = identity.fingerprint();
    EXPECT_EQ(first, SecureIdentity::fingerprint(identity.publicKey()));

    const Bytes message = toBytes("transcript");
    EXPECT_TRUE(MLDSA87::verify(identity.publicKey(), message, identity.sign(message)));
  }
  auto seed = Keychain::get(SecureIdentity::seedAccount, kService);
  ASSERT_TRUE(seed);
  EXPECT_EQ(Base64::decode(*seed)->size(), 32u);

  SecureIdentity again(kService);
  EXPECT_EQ(again.fingerprint(), first);
  EXPECT_NE(SecureIdentity(std::string(kService) + ".other").fingerprint(), first);
}

TEST_F(SecureIdentityTest, StoredItemsThatDoNotLoadArePassedOver) {
  const std::string seed = Base64::encode(Bytes(32, 7));
  const std::string expected =
      SecureIdentity::fingerprint(MLDSA87::PrivateKey::fromSeed(Bytes(32, 7)).publicKey());

  // An enclave item (which cannot load here, and this one does not even decode) next to a valid
  // seed: the seed's key, and no new key is made.
  ASSERT_TRUE(Keychain::set("%%not base64%%", SecureIdentity::enclaveAccount, kService, false));
  ASSERT_TRUE(Keychain::set(seed, SecureIdentity::seedAccount, kService, false));
  EXPECT_EQ(SecureIdentity(kService).fingerprint(), expected);
  EXPECT_EQ(Keychain::get(SecureIdentity::seedAccount, kService), seed);

  // A well-formed enclave item loads no better.
  ASSERT_TRUE(Keychain::set(Base64::encode(Bytes(64, 1)), SecureIdentity::enclaveAccount, kService,
                            false));
  EXPECT_EQ(SecureIdentity(kService).fingerprint(), expected);

  // A seed of the wrong size is replaced by a new key, which is then stored.
  ASSERT_TRUE(Keychain::set(Base64::encode(Bytes(31, 7)), SecureIdentity::seedAccount, kService,
                            false));
  const std::string replaced = SecureIdentity(kService).fingerprint();
  EXPECT_NE(replaced, expected);
  EXPECT_EQ(SecureIdentity(kService).fingerprint(), replaced);
}

TEST_F(SecureIdentityTest, RequiringAuthenticationFailsAndTurningItOffMakesANewKey) {
  SecureIdentity identity(kService);
  const std::string first = identity.fingerprint();
  EXPECT_FALSE(SecureIdentity::biometricAvailable());

  try {
    identity.regenerate(true);
    FAIL() << "regenerate(true) should throw";
  } catch (const SecureIdentity::Failure& failure) {
    EXPECT_EQ(failure.error, SecureIdentity::IdentityError::biometricUnavailable);
  }
  EXPECT_EQ(identity.fingerprint(), first);

  ASSERT_TRUE(Keychain::set("1", SecureIdentity::biometricFlag, kService, false));
  EXPECT_TRUE(identity.isBiometricProtected());
  identity.regenerate(false);
  EXPECT_FALSE(identity.isBiometricProtected());
  const std::string second = identity.fingerprint();
  EXPECT_NE(second, first);
  EXPECT_FALSE(identity.isHardwareBacked());
  EXPECT_FALSE(Keychain::get(SecureIdentity::enclaveAccount, kService));
  identity.regenerate(false);
  EXPECT_NE(identity.fingerprint(), second);
  EXPECT_NE(identity.fingerprint(), first);

  // The new key is the one a restart finds.
  EXPECT_EQ(SecureIdentity(kService).fingerprint(), identity.fingerprint());
}

TEST_F(SecureIdentityTest, DefaultServiceNamesTheProgram) {
  EXPECT_EQ(SecureIdentity::defaultService(), "com.pinebay.corvel.identity.security_tests");
}

}  // namespace
}  // namespace corvel::security
