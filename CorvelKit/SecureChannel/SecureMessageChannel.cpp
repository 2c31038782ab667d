#include "CorvelKit/SecureChannel/SecureMessageChannel.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include <openssl/evp.h>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/OpenSSLHandles.h"

namespace corvel::secure {

using security::CryptoFailure;

// One direction's cipher context, keyed once; each message only sets its nonce.
struct SecureMessageChannel::Direction {
  security::CipherContextPtr ctx;
  bool encrypt;

  Direction(ByteView key, bool forEncryption)
      : ctx(EVP_CIPHER_CTX_new()), encrypt(forEncryption) {
    if (key.size() != keySize) throw std::invalid_argument("session keys are 32 bytes");
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr,
                                  encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nullptr, -1) != 1) {
      throw CryptoFailure("AES-256-GCM setup");
    }
  }

  bool start(std::uint64_t counter) {
    auto iv = nonce(counter);
    return EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv.data(), -1) == 1;
  }

  // Runs the cipher over `in` into `out` (which may be `in`), in pieces an int can count.
  bool update(const std::uint8_t* in, std::size_t size, std::uint8_t* out) {
    while (size > 0) {
      const int piece = static_cast<int>(std::min<std::size_t>(size, INT_MAX / 2));
      int written = 0;
      if (EVP_CipherUpdate(ctx.get(), out, &written, in, piece) != 1 || written != piece) {
        return false;
      }
      in += piece;
      out += piece;
      size -= static_cast<std::size_t>(piece);
    }
    return true;
  }

  bool finish() {
    std::uint8_t none[16];
    int written = 0;
    return EVP_CipherFinal_ex(ctx.get(), none, &written) == 1 && written == 0;
  }
};

SecureMessageChannel::SecureMessageChannel(ByteView sendKey, ByteView receiveKey)
    : send_(std::make_unique<Direction>(sendKey, true)),
      receive_(std::make_unique<Direction>(receiveKey, false)) {}

SecureMessageChannel::~SecureMessageChannel() = default;

std::array<std::uint8_t, SecureMessageChannel::nonceSize> SecureMessageChannel::nonce(
    std::uint64_t counter) {
  std::array<std::uint8_t, nonceSize> iv{};
  storeU64BE(iv.data() + 4, counter);
  return iv;
}

Bytes SecureMessageChannel::seal(ByteView plaintext) {
  Bytes out(plaintext.size() + tagSize);
  seal(plaintext, out);
  return out;
}

void SecureMessageChannel::seal(ByteView plaintext, std::span<std::uint8_t> out) {
  if (out.size() != plaintext.size() + tagSize) {
    throw std::invalid_argument("sealing needs room for the plaintext and the tag");
  }
  std::lock_guard lock(lock_);
  const std::uint64_t n = sendCounter_++;
  Direction& d = *send_;
  if (!d.start(n) || !d.update(plaintext.data(), plaintext.size(), out.data()) || !d.finish() ||
      EVP_CIPHER_CTX_ctrl(d.ctx.get(), EVP_CTRL_GCM_GET_TAG, tagSize,
                          out.data() + plaintext.size()) != 1) {
    throw CryptoFailure("AES-256-GCM seal");
  }
}

void SecureMessageChannel::openInto(ByteView sealed, std::uint8_t* out) {
  // Short input is refused before the counter or the cipher is touched.
  if (sealed.size() < tagSize) throw SecureChannelError(SecureChannelErrc::tampered);
  const std::size_t length = sealed.size() - tagSize;
  std::uint8_t tag[tagSize];
  std::memcpy(tag, sealed.data() + length, tagSize);

  std::lock_guard lock(lock_);
  const std::uint64_t n = receiveCounter_++;
  Direction& d = *receive_;
  const bool opened = d.start(n) && d.update(sealed.data(), length, out) &&
                      EVP_CIPHER_CTX_ctrl(d.ctx.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag) == 1 &&
                      d.finish();
  if (!opened) {
    // Never hand out (or leave behind) plaintext that did not authenticate.
    secureWipe(out, length);
    throw SecureChannelError(SecureChannelErrc::tampered);
  }
}

Bytes SecureMessageChannel::open(ByteView sealed) {
  if (sealed.size() < tagSize) throw SecureChannelError(SecureChannelErrc::tampered);
  Bytes out(sealed.size() - tagSize);
  openInto(sealed, out.data());
  return out;
}

void SecureMessageChannel::open(ByteView sealed, Bytes& out) {
  try {
    // Short input throws in openInto before the counter moves.
    out.resize(sealed.size() >= tagSize ? sealed.size() - tagSize : 0);
    openInto(sealed, out.data());
  } catch (...) {
    secureWipe(out);
    throw;
  }
}

void SecureMessageChannel::openInPlace(Bytes& message) {
  try {
    openInto(message, message.data());
  } catch (...) {
    secureWipe(message);
    throw;
  }
  message.resize(message.size() - tagSize);
}

}  // namespace corvel::secure
