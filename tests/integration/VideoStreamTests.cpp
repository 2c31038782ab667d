#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/capture/DisplayStreams.h"
#include "Ambrel_Host/capture/VirtualDisplay.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/Bye.h"
#include "tests/support/HostHarness.h"

namespace ambrel {
namespace {

using corvel::protocol::MessageType;
using namespace std::chrono_literals;

// The `video` payloads a device heard so far.
std::vector<corvel::Bytes> videoOf(test::TestDevice& device) {
  std::lock_guard lock(device.events.mutex);
  std::vector<corvel::Bytes> out;
  for (auto& [type, payload] : device.events.messages) {
    if (type == MessageType::video) out.push_back(payload);
  }
  return out;
}

bool isKeyframe(const corvel::Bytes& payload) {
  auto packet = corvel::media::VideoPacket::parse(payload);
  return packet && packet->isKeyframe;
}

TEST(VideoStreamTest, ViewersReceiveDecodableKeyframesOfTheirDisplay) {
  auto display = VirtualDisplay::start({640, 480, 24});
  ASSERT_TRUE(display) << display.error().message();
  const std::string name = (*display)->name();

  test::HostHarness harness([&](corvel::Executor executor) {
    HostServices services;
    auto source = DisplaySource::create(name);
    EXPECT_TRUE(source);
    if (source) services.displays = std::move(*source);
    services.streams = std::make_shared<DisplayStreams>(
        executor, DisplayStreams::x11Parts(name), 1600, 2'000'000, 10);
    return services;
  });
  harness.onMain([&] {
    harness.host->setAskBeforeConnecting(false);
    return 0;
  });
  const std::string code = harness.onMain([&] { return harness.host->accessCode(); });

  test::TestDevice first("First", code);
  ASSERT_TRUE(first.waitReady());
  first.sendHello();
  ASSERT_TRUE(first.events.waitFor(
      [&] {
        for (auto& [type, payload] : first.events.messages)
          if (type == MessageType::video) return true;
        return false;
      },
      20s));
  EXPECT_TRUE(harness.onMain([&] { return harness.host->isStreaming(); }));

  auto heard = videoOf(first);
  ASSERT_FALSE(heard.empty());
  EXPECT_TRUE(isKeyframe(heard.front())) << "a stream starts with a keyframe";

  corvel::media::VideoReceiver receiver;
  int width = 0;
  int height = 0;
  int pictures = 0;
  receiver.onPicture = [&](const corvel::media::DecodedPicture& picture) {
    width = picture.width;
    height = picture.height;
    ++pictures;
  };
  for (auto& payload : heard) receiver.receive(payload);
  EXPECT_GE(pictures, 1);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);

  // A second viewer of the same display: a keyframe at once, which both receive.
  const auto before = [&] {
    std::lock_guard lock(first.events.mutex);
    return first.events.messages.size();
  }();
  test::TestDevice second("Second", code);
  ASSERT_TRUE(second.waitReady());
  second.sendHello();
  ASSERT_TRUE(second.events.waitFor(
      [&] {
        for (auto& [type, payload] : second.events.messages)
          if (type == MessageType::video) return true;
        return false;
      },
      20s));
  auto secondHeard = videoOf(second);
  EXPECT_TRUE(isKeyframe(secondHeard.front()));
  ASSERT_TRUE(first.events.waitFor([&] {
    for (std::size_t i = before; i < first.events.messages.size(); ++i) {
      auto& [type, payload] = first.events.messages[i];
      if (type == MessageType::video && isKeyframe(payload)) return true;
    }
    return false;
  }));

  // Once nobody watches, the display's capture stops.
  for (auto* device : {&first, &second}) {
    device->connection->sendJSON(MessageType::bye, corvel::protocol::Bye{"bye"});
  }
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  EXPECT_FALSE(harness.onMain([&] { return harness.host->isStreaming(); }));
}

}  // namespace
}  // namespace ambrel
