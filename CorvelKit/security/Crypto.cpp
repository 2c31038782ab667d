#include "CorvelKit/security/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "CorvelKit/security/OpenSSLHandles.h"

namespace corvel::security {

bool constantTimeEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace crypto {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* md, std::initializer_list<ByteView> parts) {
  DigestContextPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) throw CryptoFailure("digest init");
  for (ByteView p : parts) {
    if (EVP_DigestUpdate(ctx.get(), p.data(), p.size()) != 1) throw CryptoFailure("digest update");
  }
  std::array<std::uint8_t, N> out{};
  unsigned length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &length) != 1 || length != N) {
    throw CryptoFailure("digest final");
  }
  return out;
}

// A fetched KDF is immutable and may be shared by threads; fetch each one once.
EVP_KDF* fetchKdf(const char* name) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, name, nullptr);
  if (kdf == nullptr) throw CryptoFailure(name);
  return kdf;
}

SecretBytes runKdf(EVP_KDF* kdf, OSSL_PARAM* params, std::size_t length) {
  KdfContextPtr ctx(EVP_KDF_CTX_new(kdf));
  SecretBytes out(length);
  if (!ctx || EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    throw CryptoFailure("key derivation");
  }
  return out;
}

void* mutableData(ByteView v) {
  // OSSL_PARAM takes non-const pointers for input buffers it only reads.
  return const_cast<std::uint8_t*>(v.data());
}

}  // namespace

std::array<std::uint8_t, 32> sha256(std::initializer_list<ByteView> parts) {
  return digest<32>(EVP_sha256(), parts);
}
std::array<std::uint8_t, 64> sha512(std::initializer_list<ByteView> parts) {
  return digest<64>(EVP_sha512(), parts);
}
std::array<std::uint8_t, 32> sha3_256(std::initializer_list<ByteView> parts) {
  return digest<32>(EVP_sha3_256(), parts);
}

void shake256(ByteView input, std::span<std::uint8_t> out) {
  DigestContextPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_shake256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), input.data(), input.size()) != 1 ||
      EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()) != 1) {
    throw CryptoFailure("shake256");
  }
}

SecretBytes hkdfSha512(ByteView inputKey, ByteView salt, ByteView info, std::size_t length) {
  static const KdfPtr kdf(fetchKdf(OSSL_KDF_NAME_HKDF));
  char digestName[] = "SHA512";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutableData(inputKey), inputKey.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutableData(info), info.size()),
      OSSL_PARAM_construct_end()};
  return runKdf(kdf.get(), params, length);
}

SecretBytes pbkdf2Sha256(ByteView password, ByteView salt, unsigned iterations, std::size_t length) {
  static const KdfPtr kdf(fetchKdf(OSSL_KDF_NAME_PBKDF2));
  char digestName[] = "SHA256";
  // An empty code is a valid (if weak) password; OpenSSL wants a non-null pointer for it.
  static const std::uint8_t none = 0;
  void* pass = password.empty() ? const_cast<std::uint8_t*>(&none) : mutableData(password);
  // The SP 800-132 lower bounds are off: the empty password must derive too.
  int pkcs5 = 1;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, pass, password.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableData(salt), salt.size()),
      OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iterations),
      OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5),
      OSSL_PARAM_construct_end()};
  return runKdf(kdf.get(), params, length);
}

}  // namespace crypto
}  // namespace corvel::security
