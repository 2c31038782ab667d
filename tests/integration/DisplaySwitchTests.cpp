#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/DisplayList.h"
#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/SelectDisplay.h"
#include "tests/support/HostHarness.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/XorgDummyServer.h"

namespace ambrel {
namespace {

using corvel::protocol::MessageType;
using corvel::test::colourDistance;
using corvel::test::rgbAt;
using namespace std::chrono_literals;

constexpr std::uint32_t kRed = 0xC03030, kGreen = 0x30B040, kBlue = 0x3050C0, kWhite = 0xF0F0F0;
// Video is lossy; flat areas come back within a few steps of what was drawn.
constexpr int kTolerance = 24;

// Decodes a device's video as it arrives and keeps what two probe points of each picture show.
struct Probe {
  struct Seen {
    int width = 0, height = 0;
    std::uint32_t inside = 0, outside = 0;
  };
  corvel::media::VideoReceiver receiver;
  std::vector<Seen> pictures;
  std::size_t consumed = 0;  // messages of the device already fed to the receiver

  Probe() {
    receiver.onPicture = [this](const corvel::media::DecodedPicture& picture) {
      // The small square is drawn at (400, 300)–(560, 420) of each monitor.
      pictures.push_back({picture.width, picture.height, rgbAt(picture, 480, 360), rgbAt(picture, 100, 100)});
    };
  }

  // Feeds the messages heard since the last call; true once a picture matches.
  bool sawPicture(test::TestDevice& device, std::uint32_t inside, std::uint32_t outside,
                  bool* keyframeFirst = nullptr) {
    std::lock_guard lock(device.events.mutex);
    auto& messages = device.events.messages;
    for (; consumed < messages.size(); ++consumed) {
      auto& [type, payload] = messages[consumed];
      if (type != MessageType::video) continue;
      if (keyframeFirst != nullptr && pictures.empty()) {
        auto packet = corvel::media::VideoPacket::parse(payload);
        *keyframeFirst = packet && packet->isKeyframe;
        keyframeFirst = nullptr;
      }
      receiver.receive(payload);
    }
    for (auto& p : pictures) {
      if (p.width == 640 && p.height == 480 && colourDistance(p.inside, inside) <= kTolerance &&
          colourDistance(p.outside, outside) <= kTolerance) {
        return true;
      }
    }
    return false;
  }
};

// Two monitors side by side, each with its own colours; a viewer sees the main one, then the
// other after choosing it, and what it decodes is what was drawn there; when that monitor is
// switched off it is told the new list and sees the main monitor again.
TEST(DisplaySwitchTest, ViewerSeesWhatWasDrawnFollowsSelectDisplayAndFallsBackWhenItsMonitorGoes) {
  corvel::test::XorgDummyServer server;
  ASSERT_TRUE(server.isRunning()) << server.errors();
  ASSERT_EQ(server.arrange({{640, 480, 0, 0}, {640, 480, 640, 0}}), "");
  const std::string name = server.displayName();

  corvel::test::ScreenPainter painter(name);
  ASSERT_TRUE(painter.isConnected());
  painter.fill(0, 0, 640, 480, kRed);
  painter.fill(400, 300, 160, 120, kGreen);
  painter.fill(640, 0, 640, 480, kBlue);
  painter.fill(640 + 400, 300, 160, 120, kWhite);

  auto source = DisplaySource::create(name);
  ASSERT_TRUE(source) << source.error().message();
  auto displays = (*source)->displays();
  source->reset();
  ASSERT_TRUE(displays);
  ASSERT_EQ(displays->size(), 2u);
  EXPECT_EQ((*displays)[0].name, "DUMMY0");
  EXPECT_TRUE((*displays)[0].isMain);
  EXPECT_EQ((*displays)[1].name, "DUMMY1");
  const std::uint32_t mainID = (*displays)[0].id;
  const std::uint32_t otherID = (*displays)[1].id;

  test::HostHarness harness(
      [&](corvel::Executor executor) { return test::videoServices(executor, name, 4'000'000, 10); });
  harness.onMain([&] {
    harness.host->set(Setting::askBeforeConnecting, false);
    return 0;
  });
  const std::string code = harness.onMain([&] { return harness.host->accessCode(); });

  test::TestDevice device("Viewer", code);
  ASSERT_TRUE(device.waitReady());
  device.sendHello();

  // The welcome lists both monitors, the main one active.
  auto ack = device.waitForMessage(MessageType::helloAck, 20s);
  ASSERT_TRUE(ack);
  auto list = corvel::JSONCoding::decode<corvel::protocol::HelloAck>(corvel::asBytes(*ack));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->displays.size(), 2u);
  EXPECT_EQ(list->activeDisplayID, mainID);
  EXPECT_EQ(list->displays[1].id, otherID);
  EXPECT_EQ(list->displays[1].width, 640);

  Probe probe;
  bool keyframeFirst = false;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  bool sawMain = false;
  while (!sawMain && std::chrono::steady_clock::now() < deadline) {
    sawMain = probe.sawPicture(device, kGreen, kRed, &keyframeFirst);
    if (!sawMain) std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(sawMain) << "decoded pictures never showed the main monitor's colours";
  EXPECT_TRUE(keyframeFirst);

  device.connection->sendJSON(MessageType::selectDisplay, corvel::protocol::SelectDisplay{otherID});
  bool sawOther = false;
  const auto later = std::chrono::steady_clock::now() + 20s;
  while (!sawOther && std::chrono::steady_clock::now() < later) {
    sawOther = probe.sawPicture(device, kWhite, kBlue);
    if (!sawOther) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(sawOther) << "the stream did not move to the second monitor";

  // The second monitor goes away: once the change settles, the viewer hears the new list with
  // the main display active and sees the main monitor again.
  const auto heardBefore = [&] {
    std::lock_guard lock(device.events.mutex);
    return device.events.messages.size();
  }();
  ASSERT_EQ(server.arrange({{640, 480, 0, 0}}), "");
  painter.fill(0, 0, 640, 480, kRed);  // the screen shrank: draw the main monitor again
  painter.fill(400, 300, 160, 120, kGreen);
  std::optional<corvel::protocol::DisplayList> newList;
  for (auto until = std::chrono::steady_clock::now() + 20s; !newList && std::chrono::steady_clock::now() < until;) {
    harness.advance(1s);  // past the debounce of screen changes
    std::lock_guard lock(device.events.mutex);
    for (auto i = heardBefore; i < device.events.messages.size(); ++i) {
      auto& [type, payload] = device.events.messages[i];
      if (type != MessageType::displays) continue;
      auto decoded = corvel::JSONCoding::decode<corvel::protocol::DisplayList>(payload);
      if (decoded && decoded->displays.size() == 1) newList = *decoded;
    }
    if (!newList) std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(newList) << "no display list after the monitor went away";
  EXPECT_EQ(newList->displays[0].id, mainID);
  EXPECT_EQ(newList->activeDisplayID, mainID);
  probe.pictures.clear();
  bool sawMainAgain = false;
  for (auto until = std::chrono::steady_clock::now() + 20s; !sawMainAgain && std::chrono::steady_clock::now() < until;) {
    sawMainAgain = probe.sawPicture(device, kGreen, kRed);
    if (!sawMainAgain) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(sawMainAgain) << "the stream did not fall back to the main monitor";
}

}  // namespace
}  // namespace ambrel
