#include <functional>

#include <gtest/gtest.h>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/security/MLDSA87.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "CorvelKit/security/XWing.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::secure {
namespace {

using security::MLDSA87;
using security::SecureIdentity;
using security::XWing;
using Role = SecureHandshake::Role;

std::optional<SecureChannelErrc> errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const SecureChannelError& e) {
    return e.errc();
  }
  return std::nullopt;
}

Bytes fields(const std::vector<ByteView>& list) { return SecureHandshake::encodeFields(list); }

class HandshakeTest : public ::testing::Test {
 protected:
  // Identities are made once for all tests: key generation is the slow part.
  static void SetUpTestSuite() {
    home_ = new test::TemporaryHome;
    clientIdentity_ = new SecureIdentity("com.pinebay.corvel.identity.client");
    serverIdentity_ = new SecureIdentity("com.pinebay.corvel.identity.server");
  }
  static void TearDownTestSuite() {
    delete clientIdentity_;
    delete serverIdentity_;
    delete home_;
  }

  SecureHandshake client(ByteView key = accessKey()) { return {Role::client, key, *clientIdentity_}; }
  SecureHandshake server(ByteView key = accessKey()) { return {Role::server, key, *serverIdentity_}; }
  static Bytes accessKey() { return Bytes(32, 0x5A); }

  struct Run {
    Bytes hello, serverHello, finish;
    std::unique_ptr<SecureMessageChannel> clientChannel, serverChannel;
  };
  static Run run(SecureHandshake& c, SecureHandshake& s) {
    Run r;
    r.hello = c.makeClientHello();
    r.serverHello = s.respond(r.hello);
    auto finished = c.finish(r.serverHello);
    r.finish = std::move(finished.finishMessage);
    r.clientChannel = std::move(finished.channel);
    r.serverChannel = s.complete(r.finish);
    return r;
  }

  static inline test::TemporaryHome* home_ = nullptr;
  static inline SecureIdentity* clientIdentity_ = nullptr;
  static inline SecureIdentity* serverIdentity_ = nullptr;
};

TEST_F(HandshakeTest, BothRolesAgreeOnTranscriptKeysAndIdentities) {
  auto c = client();
  auto s = server();
  Run r = run(c, s);

  EXPECT_EQ(r.hello.size(), 2632u);
  EXPECT_EQ(r.serverHello.size(), 8447u);
  EXPECT_EQ(r.finish.size(), 5755u);

  // label ‖ client hello ‖ ephemeral key ‖ host identity ‖ host signature ‖ encapsulation ‖
  // client signature, identical on both sides.
  EXPECT_EQ(c.transcript(), s.transcript());
  EXPECT_EQ(c.transcript().size(), 16u + 2632 + 1216 + 2592 + 4627 + 1120 + 4627);
  EXPECT_EQ(asString(ByteView(c.transcript()).first(16)), "corvel-secure-v1");

  EXPECT_EQ(c.peerIdentity(), serverIdentity_->publicKey());
  EXPECT_EQ(s.peerIdentity(), clientIdentity_->publicKey());

  // Same keys in each direction, and the two directions differ.
  const Bytes hello = toBytes("hello from the client");
  const Bytes fromClient = r.clientChannel->seal(hello);
  EXPECT_EQ(r.serverChannel->open(fromClient), hello);
  const Bytes fromServer = r.serverChannel->seal(hello);
  EXPECT_EQ(r.clientChannel->open(fromServer), hello);
  EXPECT_NE(fromClient, fromServer);

  // A second run with the same identities and code gets fresh keys.
  auto c2 = client();
  auto s2 = server();
  Run r2 = run(c2, s2);
  EXPECT_NE(r2.clientChannel->seal(hello), r.clientChannel->seal(hello));
}

TEST_F(HandshakeTest, WrongAccessCodeCompletesButNothingOpens) {
  auto c = client(Bytes(32, 0x01));
  auto s = server(Bytes(32, 0x02));
  Run r = run(c, s);
  EXPECT_EQ(errorOf([&] { r.serverChannel->open(r.clientChannel->seal(toBytes("hi"))); }),
            SecureChannelErrc::tampered);
  EXPECT_EQ(errorOf([&] { r.clientChannel->open(r.serverChannel->seal(toBytes("hi"))); }),
            SecureChannelErrc::tampered);
}

// A server hello made by hand, so that what is signed can be varied.
TEST_F(HandshakeTest, ServerSignatureMustCoverTheLabelledTranscript) {
  const auto host = MLDSA87::PrivateKey::fromSeed(Bytes(32, 3));
  const auto stranger = MLDSA87::PrivateKey::fromSeed(Bytes(32, 4));
  const auto ephemeral = XWing::PrivateKey::fromSeed(Bytes(32, 5));
  const Bytes label = toBytes("corvel-secure-v1");

  struct Case {
    const char* name;
    bool withLabel;
    const MLDSA87::PrivateKey* signer;
    std::optional<SecureChannelErrc> expected;
  };
  const Case cases[] = {
      {"labelled, by the presented key", true, &host, std::nullopt},
      {"without the label", false, &host, SecureChannelErrc::badSignature},
      {"by another key", true, &stranger, SecureChannelErrc::badSignature},
  };
  for (const auto& c : cases) {
    auto hs = client();
    const Bytes hello = hs.makeClientHello();
    Bytes signedPart = c.withLabel ? label : Bytes{};
    append(signedPart, hello);
    append(signedPart, ephemeral.publicKey());
    append(signedPart, host.publicKey());
    const Bytes serverHello =
        fields({ephemeral.publicKey(), host.publicKey(), c.signer->sign(signedPart)});
    EXPECT_EQ(errorOf([&] { hs.finish(serverHello); }), c.expected) << c.name;
    if (!c.expected) EXPECT_EQ(hs.peerIdentity(), host.publicKey());
    if (c.expected) EXPECT_FALSE(hs.peerIdentity()) << c.name;
  }
}

TEST_F(HandshakeTest, StepsOutOfTurnAreOutOfOrder) {
  auto c = client();
  auto s = server();
  const Bytes hello = c.makeClientHello();
  const Bytes serverHello = s.respond(hello);
  auto finished = c.finish(serverHello);

  struct Case {
    const char* name;
    std::function<void()> step;
  };
  const Case cases[] = {
      {"finish before any hello", [&] { server().complete(finished.finishMessage); }},
      {"server hello before the client's hello", [&] { client().finish(serverHello); }},
      {"client answering a hello", [&] { client().respond(hello); }},
      {"server making a hello", [&] { server().makeClientHello(); }},
      {"second hello at the client", [&] { c.makeClientHello(); }},
      {"second server hello", [&] { c.finish(serverHello); }},
      {"second client hello before finish", [&] {
         auto s2 = server();
         s2.respond(hello);
         s2.respond(hello);
       }},
  };
  for (const auto& k : cases) EXPECT_EQ(errorOf(k.step), SecureChannelErrc::outOfOrder) << k.name;

  // Once the channel exists, another client hello is refused as well.
  ASSERT_TRUE(s.complete(finished.finishMessage));
  EXPECT_EQ(errorOf([&] { s.respond(hello); }), SecureChannelErrc::outOfOrder);
  EXPECT_EQ(errorOf([&] { s.complete(finished.finishMessage); }), SecureChannelErrc::outOfOrder);
}

TEST_F(HandshakeTest, BadMessagesFailWithTheirError) {
  auto c = client();
  auto s = server();
  const Bytes hello = c.makeClientHello();
  const Bytes serverHello = s.respond(hello);
  auto helloFields = SecureHandshake::decodeFields(hello, 2);
  auto serverFields = SecureHandshake::decodeFields(serverHello, 3);
  const ByteView ephemeral = serverFields[0], identity = serverFields[1], signature = serverFields[2];
  Bytes unreduced(ephemeral.begin(), ephemeral.end());
  unreduced[0] = 0xFF;
  unreduced[1] = 0xFF;

  struct Case {
    const char* name;
    std::function<void(SecureHandshake& client, SecureHandshake& server)> step;
    SecureChannelErrc expected;
  };
  const Case cases[] = {
      {"hello with one field", [&](auto&, auto& sv) { sv.respond(fields({helloFields[0]})); },
       SecureChannelErrc::malformed},
      {"hello with three fields",
       [&](auto&, auto& sv) { sv.respond(fields({helloFields[0], helloFields[1], {}})); },
       SecureChannelErrc::malformed},
      {"hello with a short identity",
       [&](auto&, auto& sv) { sv.respond(fields({helloFields[0], helloFields[1].first(100)})); },
       SecureChannelErrc::malformed},
      {"server hello with two fields",
       [&](auto& cl, auto&) { cl.finish(fields({ephemeral, identity})); },
       SecureChannelErrc::malformed},
      {"server hello with a short ephemeral key",
       [&](auto& cl, auto&) { cl.finish(fields({ephemeral.first(1215), identity, signature})); },
       SecureChannelErrc::malformed},
      {"server hello with an unreduced ephemeral key",
       [&](auto& cl, auto&) { cl.finish(fields({unreduced, identity, signature})); },
       SecureChannelErrc::malformed},
      {"server hello with a short identity",
       [&](auto& cl, auto&) { cl.finish(fields({ephemeral, identity.first(2591), signature})); },
       SecureChannelErrc::malformed},
      {"server hello with a short signature",
       [&](auto& cl, auto&) { cl.finish(fields({ephemeral, identity, signature.first(100)})); },
       SecureChannelErrc::badSignature},
      {"finish with an altered encapsulation",
       [&](auto& cl, auto& sv) {
         Bytes finish = cl.finish(sv.respond(cl.makeClientHello())).finishMessage;
         finish[10] ^= 1;
         sv.complete(finish);
       },
       SecureChannelErrc::badSignature},
      {"finish with one field",
       [&](auto& cl, auto& sv) {
         Bytes finish = cl.finish(sv.respond(cl.makeClientHello())).finishMessage;
         sv.complete(fields({SecureHandshake::decodeFields(finish, 2)[0]}));
       },
       SecureChannelErrc::malformed},
  };
  for (const auto& k : cases) {
    auto cl = client();
    auto sv = server();
    if (std::string(k.name).rfind("server hello", 0) == 0) cl.makeClientHello();
    EXPECT_EQ(errorOf([&] { k.step(cl, sv); }), k.expected) << k.name;
  }

  // A failed step leaves the handshake refusing everything after it.
  auto failed = client();
  failed.makeClientHello();
  EXPECT_EQ(errorOf([&] { failed.finish(Bytes{1, 2, 3}); }), SecureChannelErrc::malformed);
  EXPECT_EQ(errorOf([&] { failed.finish(serverHello); }), SecureChannelErrc::outOfOrder);
}

TEST(HandshakeFields, EncodeAndDecode) {
  EXPECT_TRUE(SecureHandshake::encodeFields({}).empty());
  EXPECT_TRUE(SecureHandshake::decodeFields({}, 0).empty());

  const Bytes a = toBytes("abc");
  const Bytes encoded = SecureHandshake::encodeFields({a, {}, a});
  EXPECT_EQ(hexString(encoded), "00000003616263" "00000000" "00000003616263");
  auto decoded = SecureHandshake::decodeFields(encoded, 3);
  ASSERT_EQ(decoded.size(), 3u);
  EXPECT_TRUE(std::ranges::equal(decoded[0], a));
  EXPECT_TRUE(decoded[1].empty());
  EXPECT_TRUE(std::ranges::equal(decoded[2], a));
}

TEST(HandshakeFields, RefusesWhatDoesNotFitExactly) {
  const std::size_t limit = SecureHandshake::maxFieldLength;
  Bytes atLimit(4 + limit, 0);
  atLimit[1] = 0x10;  // 0x00100000 = 1,048,576
  Bytes overLimit(4 + limit + 1, 0);
  overLimit[1] = 0x10;
  overLimit[3] = 0x01;  // 1,048,577, with that many bytes present
  const Bytes two = SecureHandshake::encodeFields({toBytes("x"), toBytes("y")});

  struct Case {
    const char* name;
    Bytes message;
    std::size_t expectedCount;
    bool ok;
  };
  Bytes trailing3 = two;
  trailing3.insert(trailing3.end(), {0, 0, 0});
  Bytes pastTheEnd = two;
  pastTheEnd.insert(pastTheEnd.end(), {0, 0, 0, 5, 'a', 'b'});
  Bytes hugeLength = two;
  hugeLength.insert(hugeLength.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  const Case cases[] = {
      {"field of exactly 1 MiB", atLimit, 1, true},
      {"field one byte over 1 MiB", overLimit, 1, false},
      {"fewer fields than expected", two, 3, false},
      {"more fields than expected", two, 1, false},
      {"trailing bytes shorter than a length", trailing3, 2, false},
      {"length running past the end", pastTheEnd, 3, false},
      {"length of 4 GiB", hugeLength, 3, false},
      {"empty message where fields are expected", {}, 2, false},
  };
  for (const auto& c : cases) {
    auto error = errorOf([&] { SecureHandshake::decodeFields(c.message, c.expectedCount); });
    if (c.ok) {
      EXPECT_FALSE(error) << c.name;
    } else {
      EXPECT_EQ(error, SecureChannelErrc::malformed) << c.name;
    }
  }
}

}  // namespace
}  // namespace corvel::secure
