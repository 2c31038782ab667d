#include <gtest/gtest.h>

#include <sys/stat.h>

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "Ambrel_Host/browser/BrowserIdentity.h"
#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Defaults.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

struct Certificate {
  explicit Certificate(const corvel::Bytes& der) {
    const unsigned char* p = der.data();
    x509.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  }
  std::string commonName() const {
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(x509.get()), NID_commonName, name, sizeof name);
    return name;
  }
  struct Free {
    void operator()(X509* p) const { X509_free(p); }
  };
  std::unique_ptr<X509, Free> x509;
};

class BrowserIdentityTest : public ::testing::Test {
 protected:
  corvel::test::TemporaryFolder folder;
  std::shared_ptr<corvel::Defaults> defaults =
      std::make_shared<corvel::Defaults>(folder.path() / "settings.json");
};

TEST_F(BrowserIdentityTest, MakesAPrivateSelfSignedServerCertificateOnce) {
  BrowserIdentity maker(defaults, folder.path() / "data", "Ana’s PC/Office");
  auto identity = maker.identity();
  ASSERT_TRUE(identity);

  struct stat info {};
  ASSERT_EQ(::stat(maker.file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto passphrase = defaults->string(BrowserIdentity::passphraseKey);
  ASSERT_TRUE(passphrase);
  EXPECT_EQ(passphrase->size(), 32u);  // 24 random bytes in Base64

  Certificate cert(identity->certificate);
  ASSERT_TRUE(cert.x509);
  EXPECT_EQ(cert.commonName(), "Ambrel Host (Anas PCOffice)");
  // Self-signed, RSA 2048, for server authentication, 825 days.
  EXPECT_EQ(X509_check_issued(cert.x509.get(), cert.x509.get()), X509_V_OK);
  EVP_PKEY* key = X509_get0_pubkey(cert.x509.get());
  EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_RSA);
  EXPECT_EQ(EVP_PKEY_get_bits(key), 2048);
  EXPECT_NE(X509_get_extended_key_usage(cert.x509.get()) & XKU_SSL_SERVER, 0u);
  int days = 0;
  int seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert.x509.get()),
                           X509_get0_notAfter(cert.x509.get())),
            1);
  EXPECT_EQ(days, 825);

  // Another start, in this process or the next, loads the same certificate.
  BrowserIdentity again(defaults, folder.path() / "data", "other name");
  auto loaded = again.identity();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->certificate, identity->certificate);
  EXPECT_EQ(defaults->string(BrowserIdentity::passphraseKey), passphrase);
}

TEST_F(BrowserIdentityTest, ALostOrWrongPassphraseMakesANewCertificate) {
  const auto data = folder.path() / "data";
  auto first = BrowserIdentity(defaults, data, "host").identity();
  ASSERT_TRUE(first);
  const auto passphrase = defaults->string(BrowserIdentity::passphraseKey);

  defaults->remove(BrowserIdentity::passphraseKey);
  auto second = BrowserIdentity(defaults, data, "host").identity();
  ASSERT_TRUE(second);
  EXPECT_NE(second->certificate, first->certificate);
  const auto newPassphrase = defaults->string(BrowserIdentity::passphraseKey);
  ASSERT_TRUE(newPassphrase);
  EXPECT_NE(newPassphrase, passphrase);

  defaults->set(BrowserIdentity::passphraseKey, "not the passphrase");
  auto third = BrowserIdentity(defaults, data, "host").identity();
  ASSERT_TRUE(third);
  EXPECT_NE(third->certificate, second->certificate);
}

TEST_F(BrowserIdentityTest, NothingWhenTheFileCannotBeWritten) {
  // A plain file where the folder should be.
  ASSERT_FALSE(corvel::AtomicFile::write(folder.path() / "blocked", corvel::asBytes("x")));
  BrowserIdentity identity(defaults, folder.path() / "blocked", "host");
  EXPECT_FALSE(identity.identity());
  EXPECT_FALSE(defaults->string(BrowserIdentity::passphraseKey));
}

TEST(BrowserIdentitySubjectTest, KeepsOnlyASCIIWithoutSlashes) {
  EXPECT_EQ(BrowserIdentity::subject("Zoë's MacBook/Pro"), "Ambrel Host (Zo's MacBookPro)");
  EXPECT_EQ(BrowserIdentity::subject(""), "Ambrel Host (Mac)");
  EXPECT_EQ(BrowserIdentity::subject("日本"), "Ambrel Host ()");
}

}  // namespace
}  // namespace ambrel
