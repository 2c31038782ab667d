#pragma once

// OpenSSL handle types as owning pointers. Included only from .cpp files, so that no header of
// ours pulls in OpenSSL.

#include <memory>

#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace corvel::security {

struct OpenSSLDeleter {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};

using CipherContextPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSSLDeleter>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, OpenSSLDeleter>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, OpenSSLDeleter>;
using PKeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSSLDeleter>;
using KdfPtr = std::unique_ptr<EVP_KDF, OpenSSLDeleter>;
using KdfContextPtr = std::unique_ptr<EVP_KDF_CTX, OpenSSLDeleter>;

}  // namespace corvel::security
