#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/VirtualDisplay.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/HostHarness.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ScreenPainter.h"

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

  test::HostHarness harness(
      [&](corvel::Executor executor) { return test::videoServices(executor, name, 2'000'000, 10); });
  harness.onMain([&] {
    harness.host->set(Setting::askBeforeConnecting, false);
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

// For `waitFor` conditions, which run under the recorder's lock.
std::size_t videoCountLocked(test::TestDevice& device) {
  return static_cast<std::size_t>(std::count_if(device.events.messages.begin(), device.events.messages.end(),
                                                [](auto& m) { return m.first == MessageType::video; }));
}

std::size_t videoCount(test::TestDevice& device) {
  std::lock_guard lock(device.events.mutex);
  return videoCountLocked(device);
}

// A viewer that stops reading holds its display's frames back for everyone (they are skipped
// before encoding, so no viewer's picture breaks); once it reads again, both streams go on and
// all it received decodes without asking for a keyframe.
TEST(VideoStreamTest, AViewerThatStopsReadingHoldsFramesBackUntilItReadsAgain) {
  auto display = VirtualDisplay::start({640, 480, 24});
  ASSERT_TRUE(display) << display.error().message();
  const std::string name = (*display)->name();
  std::atomic<bool> animating{true};
  std::thread animation([&] {
    corvel::test::ScreenPainter painter(name);
    for (std::uint32_t seed = 1; animating; ++seed) {
      painter.noise(0, 0, 640, 480, seed);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  struct StopAnimation {
    std::atomic<bool>& on;
    std::thread& thread;
    ~StopAnimation() {
      on = false;
      thread.join();
    }
  } stopAnimation{animating, animation};

  // A high rate on a picture of noise fills the socket buffers within a few seconds.
  test::HostHarness harness(
      [&](corvel::Executor executor) { return test::videoServices(executor, name, 20'000'000, 30); });
  harness.onMain([&] {
    harness.host->set(Setting::askBeforeConnecting, false);
    return 0;
  });
  const std::string code = harness.onMain([&] { return harness.host->accessCode(); });

  test::TestDevice reader("Reader", code);
  ASSERT_TRUE(reader.waitReady());
  reader.sendHello();
  ASSERT_TRUE(reader.events.waitFor([&] { return videoCountLocked(reader) > 0; }, 20s));

  corvel::test::RawPeer slow(corvel::protocol::corvelDefaultPort, corvel::security::AccessCode::key(code), 4096);
  corvel::security::SecureIdentity identity{"test.slow-viewer"};
  auto channel = slow.runClientHandshake(identity);
  corvel::protocol::Hello hello;
  hello.deviceName = "Slow";
  hello.protocolVersion = static_cast<int>(corvel::protocol::corvelProtocolVersion);
  auto helloBytes = corvel::JSONCoding::encode(hello);
  ASSERT_TRUE(helloBytes);
  slow.sendFrame(MessageType::hello, channel->seal(*helloBytes));

  // The slow viewer reads nothing: soon the reader gets no frames either.
  bool heldBack = false;
  for (auto deadline = std::chrono::steady_clock::now() + 40s; !heldBack && std::chrono::steady_clock::now() < deadline;) {
    const auto before = videoCount(reader);
    std::this_thread::sleep_for(1500ms);
    heldBack = videoCount(reader) == before;
  }
  ASSERT_TRUE(heldBack) << "frames kept flowing while a viewer read nothing";

  // Reading again: the backlog drains, new frames come to both, and everything decodes.
  const auto readerBefore = videoCount(reader);
  corvel::media::VideoReceiver receiver;
  int pictures = 0, keyframeRequests = 0, videos = 0;
  bool firstIsKeyframe = false;
  receiver.onPicture = [&](const corvel::media::DecodedPicture&) { ++pictures; };
  receiver.onNeedKeyframe = [&] { ++keyframeRequests; };
  while (videos < 60) {
    auto frame = slow.readFrame();
    ASSERT_TRUE(frame) << "the host closed the slow viewer";
    auto payload = channel->open(frame->second);  // every message, to keep the nonces in step
    if (frame->first != MessageType::video) continue;
    if (videos++ == 0) firstIsKeyframe = isKeyframe(payload);
    receiver.receive(payload);
  }
  EXPECT_TRUE(firstIsKeyframe);
  EXPECT_EQ(keyframeRequests, 0);
  EXPECT_GE(pictures, videos - 2);  // the decoder may still hold the last one or two
  EXPECT_TRUE(reader.events.waitFor([&] { return videoCountLocked(reader) > readerBefore + 10; }, 20s));
}

}  // namespace
}  // namespace ambrel
