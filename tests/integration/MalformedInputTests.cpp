#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/HostHarness.h"

namespace ambrel {
namespace {

using corvel::protocol::MessageType;
using namespace std::chrono_literals;

// Every message a client may send, as a good client encodes it.
struct Golden {
  MessageType type;
  std::string payload;
};

const std::vector<Golden>& goldens() {
  static const std::vector<Golden> all = {
      {MessageType::hello, R"({"deviceName":"d","platform":"iPhone","protocolVersion":2,"role":"viewer","supportsHEVC":true,"preferredDisplayID":1})"},
      {MessageType::input, R"({"key":{"code":0,"down":true,"flags":131072}})"},
      {MessageType::input, R"({"mouseButton":{"button":1,"down":false,"x":1.5,"y":2}})"},
      {MessageType::input, R"({"text":{"_0":"hi"}})"},
      {MessageType::clipboard, R"({"text":"copied"})"},
      {MessageType::selectDisplay, R"({"displayID":1})"},
      {MessageType::keyframeRequest, "{}"},
      {MessageType::ping, "1234"},
      {MessageType::chat, R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","text":"t","sender":"s","sentAt":0})"},
      {MessageType::hostAction, R"("sleepDisplay")"},
      {MessageType::annotation, R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[0.1,0.2],"color":[1,0,0,1],"width":2}}})"},
      {MessageType::annotation, R"({"clear":{}})"},
      {MessageType::sharerInfo, R"({"orientation":1})"},
      {MessageType::macCommand, R"({"openURL":{"_0":"https://example.com"}})"},
      {MessageType::screenTextRequest, "{}"},
      {MessageType::screenshotRequest, "{}"},
      {MessageType::fileOffer, R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"a.txt","size":3})"},
      {MessageType::fileEnd, R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","cancelled":false})"},
      {MessageType::helloAck, R"({"hostName":"h","displays":[{"id":1,"name":"a","width":1,"height":1}],"activeDisplayID":1})"},
      {MessageType::audioFormat, R"({"sampleRate":48000,"channels":2,"framesPerPacket":480,"magicCookie":"EZBW5Q=="})"},
      {MessageType::invalid, "\x01\x02\x03"},
  };
  return all;
}

// Each golden message with every single bit flipped and cut at every length, sent by an admitted
// client over a real connection: each is refused or ignored, and the host goes on serving — the
// sender and another client alike.
TEST(MalformedInputTest, EveryBitFlipAndTruncationIsRefusedOrIgnoredAndTheHostGoesOn) {
  test::HostHarness harness;
  harness.onMain([&] { return harness.host->set(Setting::askBeforeConnecting, false); });
  const std::string code = harness.onMain([&] { return harness.host->accessCode(); });

  test::TestDevice bystander("Bystander", code);
  ASSERT_TRUE(bystander.waitReady());
  bystander.sendHello();
  ASSERT_TRUE(bystander.waitForMessage(MessageType::helloAck));
  test::TestDevice attacker("Attacker", code);
  ASSERT_TRUE(attacker.waitReady());
  attacker.sendHello();
  ASSERT_TRUE(attacker.waitForMessage(MessageType::helloAck));

  std::size_t sent = 0;
  for (const auto& golden : goldens()) {
    const corvel::Bytes original(golden.payload.begin(), golden.payload.end());
    for (std::size_t bit = 0; bit < original.size() * 8; ++bit) {
      auto flipped = original;
      flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      attacker.connection->send(golden.type, flipped);
      ++sent;
    }
    for (std::size_t length = 0; length < original.size(); ++length) {
      attacker.connection->send(golden.type, corvel::ByteView(original).first(length));
      ++sent;
    }
    // Both clients still get answers before the next kind.
    for (auto* device : {&attacker, &bystander}) {
      const corvel::Bytes marker{'m', static_cast<std::uint8_t>(sent & 0xFF)};
      device->connection->send(MessageType::ping, marker);
      ASSERT_TRUE(device->events.waitFor(
          [&] {
            for (auto& [t, payload] : device->events.messages)
              if (t == MessageType::pong && payload == marker) return true;
            return false;
          },
          30s))
          << device->name << " after " << corvel::protocol::name(golden.type);
    }
  }
  harness.settle();
  EXPECT_EQ(harness.clientCount(), 2u);
  EXPECT_FALSE(attacker.events.ended());
  EXPECT_FALSE(bystander.events.ended());
}

}  // namespace
}  // namespace ambrel
