#include "Ambrel_Host/browser/BrowserIdentity.h"

#include <mutex>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/security/RandomBytes.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("browser"); }

std::mutex& identityMutex() {
  static std::mutex mutex;
  return mutex;
}

struct Deleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(PKCS12* p) const { PKCS12_free(p); }
  void operator()(STACK_OF(X509)* p) const { sk_X509_pop_free(p, X509_free); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter>;
using Certificate = std::unique_ptr<X509, Deleter>;
using Pkcs12 = std::unique_ptr<PKCS12, Deleter>;
using CertificateStack = std::unique_ptr<STACK_OF(X509), Deleter>;

template <class T, class Encode>
corvel::Bytes derOf(T* object, Encode encode) {
  const int length = encode(object, nullptr);
  if (length <= 0) return {};
  corvel::Bytes out(static_cast<std::size_t>(length));
  unsigned char* cursor = out.data();
  if (encode(object, &cursor) != length) return {};
  return out;
}

Certificate makeCertificate(EVP_PKEY* key, const std::string& commonName) {
  Certificate cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  // A random positive 64-bit serial.
  auto serial = corvel::security::randomBytes(8);
  serial[0] &= 0x7F;
  std::uint64_t value = 0;
  for (auto b : serial) value = (value << 8) | b;
  if (ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), value) != 1) return nullptr;
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), BrowserIdentity::validityDays, 0, nullptr)) {
    return nullptr;
  }
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(cert.get(), name) != 1) {
    return nullptr;
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* usage =
      X509V3_EXT_conf_nid(nullptr, &context, NID_ext_key_usage, "serverAuth");
  if (usage == nullptr) return nullptr;
  const int added = X509_add_ext(cert.get(), usage, -1);
  X509_EXTENSION_free(usage);
  if (added != 1) return nullptr;
  if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

}  // namespace

BrowserIdentity::BrowserIdentity(std::shared_ptr<corvel::Defaults> defaults,
                                 std::filesystem::path folder, std::string computerName)
    : defaults_(std::move(defaults)), folder_(std::move(folder)), computerName_(std::move(computerName)) {}

std::string BrowserIdentity::subject(std::string_view computerName) {
  std::string ascii;
  for (char c : computerName) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && c != '/') ascii.push_back(c);
  }
  if (computerName.empty()) ascii = "Mac";
  return "Ambrel Host (" + ascii + ")";
}

std::optional<TlsIdentity> BrowserIdentity::identity() {
  std::lock_guard lock(identityMutex());
  if (cached_) return cached_;
  auto loaded = load();
  if (!loaded) {
    if (!create()) return std::nullopt;
    loaded = load();
    if (!loaded) return std::nullopt;
  }
  cached_ = std::move(loaded);
  return cached_;
}

std::optional<TlsIdentity> BrowserIdentity::load() const {
  const auto data = corvel::AtomicFile::read(file());
  if (!data) return std::nullopt;
  const auto passphrase = defaults_->string(passphraseKey);
  if (!passphrase) return std::nullopt;
  const unsigned char* cursor = data->data();
  Pkcs12 p12(d2i_PKCS12(nullptr, &cursor, static_cast<long>(data->size())));
  if (!p12) return std::nullopt;
  EVP_PKEY* rawKey = nullptr;
  X509* rawCert = nullptr;
  STACK_OF(X509)* rawChain = nullptr;
  const int parsed = PKCS12_parse(p12.get(), passphrase->c_str(), &rawKey, &rawCert, &rawChain);
  PKey key(rawKey);
  Certificate cert(rawCert);
  CertificateStack chain(rawChain);
  if (parsed != 1 || !key || !cert) return std::nullopt;
  TlsIdentity identity;
  identity.certificate = derOf(cert.get(), [](X509* c, unsigned char** out) { return i2d_X509(c, out); });
  identity.privateKey = corvel::security::SecretBytes::adopt(
      derOf(key.get(), [](EVP_PKEY* k, unsigned char** out) { return i2d_PrivateKey(k, out); }));
  if (identity.certificate.empty() || identity.privateKey.empty()) return std::nullopt;
  return identity;
}

bool BrowserIdentity::create() const {
  auto fail = [] {
    log().error("could not make the browser certificate");
    return false;
  };
  auto random = corvel::security::randomBytes(24);
  const std::string passphrase = corvel::Base64::encode(random);
  corvel::secureWipe(random);

  PKey key(EVP_RSA_gen(2048));
  if (!key) return fail();
  Certificate cert = makeCertificate(key.get(), subject(computerName_));
  if (!cert) return fail();
  // OpenSSL's current PKCS#12 defaults: AES-256-CBC under PBKDF2 and an HMAC-SHA-256 MAC.
  Pkcs12 p12(PKCS12_create(passphrase.c_str(), "Ambrel Host", key.get(), cert.get(), nullptr, 0, 0,
                           0, 0, 0));
  if (!p12) return fail();
  const auto der = derOf(p12.get(), [](PKCS12* p, unsigned char** out) { return i2d_PKCS12(p, out); });
  if (der.empty()) return fail();
  if (auto ec = corvel::AtomicFile::write(file(), der, 0600)) {
    log().error("could not make the browser certificate: {}", ec.message());
    return false;
  }
  std::error_code ignored;
  std::filesystem::permissions(file(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, ignored);
  defaults_->set(passphraseKey, passphrase);
  log().info("made a new browser certificate for \"{}\"", subject(computerName_));
  return true;
}

}  // namespace ambrel
