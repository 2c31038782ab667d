#include "CorvelKit/cloud/OwnerKey.h"

#include <climits>
#include <stdexcept>

#include <openssl/evp.h>

#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/OpenSSLHandles.h"
#include "CorvelKit/security/RandomBytes.h"

namespace corvel::cloud {

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::string_view kStretchSalt = "com.pinebay.corvel owner secret";
constexpr std::string_view kFieldKeySalt = "com.pinebay.corvel cloud";
constexpr std::string_view kFieldKeyInfo = "corvel cloud fields v1";

// The record and field a sealed value belongs to, each part ended by a zero byte.
Bytes associatedData(std::string_view recordType, std::string_view recordName, std::string_view field) {
  Bytes out;
  for (auto part : {recordType, recordName, field}) {
    append(out, asBytes(part));
    out.push_back(0);
  }
  return out;
}

bool isUTF8(std::string_view text) {
  return unicode::encodeUTF8(unicode::decodeUTF8(text)) == text;
}

}  // namespace

std::optional<OwnerKey> OwnerKey::derive(std::string_view secret) {
  if (secret.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos) return std::nullopt;
  auto stretched = security::crypto::pbkdf2Sha256(asBytes(secret), asBytes(kStretchSalt),
                                                  stretchIterations, kKeySize);
  return OwnerKey(security::crypto::hkdfSha512(stretched, asBytes(kFieldKeySalt), asBytes(kFieldKeyInfo), kKeySize));
}

OwnerKey OwnerKey::fromBytes(ByteView key) {
  if (key.size() != kKeySize) throw std::invalid_argument("owner keys are 32 bytes");
  return OwnerKey(security::SecretBytes(key));
}

Bytes OwnerKey::seal(std::string_view recordType, std::string_view recordName, std::string_view field,
                     std::string_view text) const {
  if (text.size() > INT_MAX / 2) throw std::length_error("field too long to seal");
  const auto aad = associatedData(recordType, recordName, field);
  Bytes out(overhead + text.size());
  out[0] = version;
  security::fillRandom(std::span(out).subspan(1, nonceSize));
  std::uint8_t* cipher = out.data() + 1 + nonceSize;
  std::uint8_t* tag = cipher + text.size();

  security::CipherContextPtr ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key_.data(), out.data() + 1) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &written, aad.data(), static_cast<int>(aad.size())) != 1 ||
      EVP_EncryptUpdate(ctx.get(), cipher, &written,
                        reinterpret_cast<const std::uint8_t*>(text.data()),
                        static_cast<int>(text.size())) != 1 ||
      static_cast<std::size_t>(written) != text.size() ||
      EVP_EncryptFinal_ex(ctx.get(), tag, &written) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, tagSize, tag) != 1) {
    throw security::CryptoFailure("AES-256-GCM sealing of a cloud field");
  }
  return out;
}

std::optional<std::string> OwnerKey::open(std::string_view recordType, std::string_view recordName,
                                          std::string_view field, ByteView sealed) const {
  if (sealed.size() < overhead || sealed.size() - overhead > INT_MAX / 2 || sealed[0] != version) {
    return std::nullopt;
  }
  const auto aad = associatedData(recordType, recordName, field);
  const std::size_t length = sealed.size() - overhead;
  const std::uint8_t* nonce = sealed.data() + 1;
  const std::uint8_t* cipher = nonce + nonceSize;
  Bytes tag(cipher + length, cipher + length + tagSize);  // the ctrl call takes a mutable pointer
  std::string text(length, '\0');

  security::CipherContextPtr ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  std::uint8_t none[16];
  const bool opened =
      ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) == 1 &&
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key_.data(), nonce) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &written, aad.data(), static_cast<int>(aad.size())) == 1 &&
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<std::uint8_t*>(text.data()), &written, cipher,
                        static_cast<int>(length)) == 1 &&
      static_cast<std::size_t>(written) == length &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag.data()) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), none, &written) == 1;
  if (!opened || !isUTF8(text)) {
    secureWipe(text.data(), text.size());
    return std::nullopt;
  }
  return text;
}

}  // namespace corvel::cloud
