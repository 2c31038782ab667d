#include <functional>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"

namespace corvel::secure {
namespace {

SecureChannelErrc errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const SecureChannelError& e) {
    return e.errc();
  }
  ADD_FAILURE() << "no SecureChannelError";
  return SecureChannelErrc::malformed;
}

// Two ends of one connection: each one's send key is the other's receive key.
struct ChannelPair {
  Bytes keyA = Bytes(32, 0x11);
  Bytes keyB = Bytes(32, 0x22);
  SecureMessageChannel a{keyA, keyB};
  SecureMessageChannel b{keyB, keyA};
};

TEST(SecureMessageChannel, NonceIsFourZeroBytesAndTheBigEndianCounter) {
  EXPECT_EQ(hexString(SecureMessageChannel::nonce(0)), "000000000000000000000000");
  EXPECT_EQ(hexString(SecureMessageChannel::nonce(256)), "000000000000000000000100");
  EXPECT_EQ(hexString(SecureMessageChannel::nonce(0x0102030405060708)), "000000000102030405060708");
}

// AES-256-GCM straight from OpenSSL, with the nonce given explicitly.
Bytes referenceSeal(ByteView key, ByteView nonce, ByteView plain) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(plain.size() + 16);
  int n = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()), 1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size())), 1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + n, &n), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plain.size()), 1);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

TEST(SecureMessageChannel, MessageNumberNSealsUnderNonceN) {
  ChannelPair p;
  const Bytes plain = toBytes("hello");
  std::vector<Bytes> sealed;
  for (int i = 0; i <= 256; ++i) sealed.push_back(p.a.seal(plain));
  for (int i : {0, 1, 256}) {
    EXPECT_EQ(sealed[i], referenceSeal(p.keyA, SecureMessageChannel::nonce(i), plain)) << i;
  }
  for (int i = 0; i <= 256; ++i) EXPECT_EQ(p.b.open(sealed[i]), plain) << i;
}

TEST(SecureMessageChannel, RoundTripsInBothDirections) {
  ChannelPair p;
  for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 1000u, 65536u}) {
    Bytes plain(size);
    for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<std::uint8_t>(i * 7);
    Bytes sealed = p.a.seal(plain);
    EXPECT_EQ(sealed.size(), size + SecureMessageChannel::tagSize);
    EXPECT_EQ(p.b.open(sealed), plain);
    EXPECT_EQ(p.a.open(p.b.seal(plain)), plain);
  }
}

TEST(SecureMessageChannel, EmptyPlaintextSealsToTheTagAlone) {
  ChannelPair p;
  Bytes sealed = p.a.seal({});
  EXPECT_EQ(sealed.size(), 16u);
  EXPECT_TRUE(p.b.open(sealed).empty());
}

TEST(SecureMessageChannel, ShortInputIsTamperedWithoutUsingACounter) {
  ChannelPair p;
  Bytes first = p.a.seal(toBytes("first"));
  EXPECT_EQ(errorOf([&] { p.b.open(Bytes(15, 0)); }), SecureChannelErrc::tampered);
  EXPECT_EQ(errorOf([&] { p.b.open({}); }), SecureChannelErrc::tampered);
  // The counter did not move, so the real message 0 still opens.
  EXPECT_EQ(asString(p.b.open(first)), "first");
}

TEST(SecureMessageChannel, ReplayReorderAndAlterationFail) {
  struct Case {
    const char* name;
    std::function<void(ChannelPair&, std::vector<Bytes>&)> attack;
  };
  const Case cases[] = {
      {"replay", [](ChannelPair& p, std::vector<Bytes>& m) {
         EXPECT_NO_THROW(p.b.open(m[0]));
         p.b.open(m[0]);
       }},
      {"reorder", [](ChannelPair& p, std::vector<Bytes>& m) { p.b.open(m[1]); }},
      {"flip ciphertext bit", [](ChannelPair& p, std::vector<Bytes>& m) {
         m[0][0] ^= 0x01;
         p.b.open(m[0]);
       }},
      {"flip tag bit", [](ChannelPair& p, std::vector<Bytes>& m) {
         m[0].back() ^= 0x80;
         p.b.open(m[0]);
       }},
      {"truncate", [](ChannelPair& p, std::vector<Bytes>& m) {
         m[0].pop_back();
         p.b.open(m[0]);
       }},
      {"own message", [](ChannelPair& p, std::vector<Bytes>& m) { p.a.open(m[0]); }},
  };
  for (const auto& c : cases) {
    ChannelPair p;
    std::vector<Bytes> messages = {p.a.seal(toBytes("zero")), p.a.seal(toBytes("one"))};
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorOf([&] { c.attack(p, messages); }), SecureChannelErrc::tampered);
  }

}

TEST(SecureMessageChannel, SealsAndOpensInPlace) {
  ChannelPair p;
  Bytes buffer = toBytes("in place, no copies");
  const Bytes plain = buffer;
  buffer.resize(plain.size() + SecureMessageChannel::tagSize);
  p.a.seal(ByteView(buffer).first(plain.size()), buffer);
  EXPECT_NE(ByteView(buffer).first(plain.size()).front(), plain.front());

  p.b.openInPlace(buffer);
  EXPECT_EQ(buffer, plain);

  Bytes forged = p.a.seal(plain);
  forged[0] ^= 1;
  EXPECT_EQ(errorOf([&] { p.b.openInPlace(forged); }), SecureChannelErrc::tampered);
  EXPECT_TRUE(forged.empty());  // unauthenticated plaintext is not left behind

  EXPECT_THROW(p.a.seal(plain, std::span<std::uint8_t>(buffer)), std::invalid_argument);
}

TEST(SecureMessageChannel, OpensIntoAReusedBufferAndWipesItOnFailure) {
  ChannelPair p;
  Bytes out(100, 0xEE);  // left over from a longer message
  p.b.open(p.a.seal(toBytes("short")), out);
  EXPECT_EQ(asString(out), "short");
  p.b.open(p.a.seal({}), out);
  EXPECT_TRUE(out.empty());

  Bytes forged = p.a.seal(toBytes("forged"));
  forged[0] ^= 1;
  out = toBytes("still here");
  EXPECT_EQ(errorOf([&] { p.b.open(forged, out); }), SecureChannelErrc::tampered);
  EXPECT_TRUE(out.empty());
  out = toBytes("still here");
  EXPECT_EQ(errorOf([&] { p.b.open(Bytes(3), out); }), SecureChannelErrc::tampered);
  EXPECT_TRUE(out.empty());
}

TEST(SecureChannelError, DescriptionsAreTheUserFacingTexts) {
  EXPECT_STREQ(SecureChannelError(SecureChannelErrc::tampered).what(),
               "A message failed its integrity check.");
  EXPECT_EQ(make_error_code(SecureChannelErrc::badSignature).message(),
            "The other device failed to prove its identity.");
  EXPECT_EQ(make_error_code(SecureChannelErrc::malformed).message(),
            "The secure handshake was invalid.");
  EXPECT_EQ(make_error_code(SecureChannelErrc::outOfOrder).message(),
            "The secure handshake was invalid.");
  auto changed = SecureChannelError::identityChanged("AAAA", "BBBB");
  EXPECT_EQ(changed.code(), SecureChannelErrc::identityChanged);
  EXPECT_EQ(changed.expected(), "AAAA");
  EXPECT_EQ(changed.got(), "BBBB");
  EXPECT_STREQ(changed.what(),
               "This Mac's security identity has changed. If you did not reinstall Ambrel Host, "
               "someone may be impersonating it.");
}

}  // namespace
}  // namespace corvel::secure
