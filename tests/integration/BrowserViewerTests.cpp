// The browser server on a private X display, reached over TLS on its real port the way a page
// reaches it: the upgrade, the first video packet, and input that arrives at the X server.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <chrono>

#include "Ambrel_Host/browser/BrowserIdentity.h"
#include "Ambrel_Host/browser/BrowserServer.h"
#include "Ambrel_Host/browser/WebSocketFrame.h"
#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WebSocketTestClient.h"
#include "tests/support/XEventRecorder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using corvel::test::WebSocketTestClient;
using corvel::test::XEventRecorder;
using Type = XEventRecorder::Event::Type;
using namespace std::chrono_literals;

TEST(BrowserViewerTest, ATlsViewerGetsAKeyframeFirstAndItsInputReachesTheDisplay) {
  corvel::test::XvfbServer xvfb("1024x768x24");
  ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
  const std::string name = xvfb.displayName();
  XEventRecorder recorder(name);
  ASSERT_TRUE(recorder.isConnected());
  recorder.openFocusedWindow();

  corvel::test::TemporaryFolder folder;
  auto defaults = std::make_shared<corvel::Defaults>(folder.path() / "settings.json");
  auto displays = DisplaySource::create(name);
  ASSERT_TRUE(displays);
  std::shared_ptr<DisplaySource> source = std::move(*displays);

  BrowserServer::Parts parts;
  parts.identity = [identity = std::make_shared<BrowserIdentity>(defaults, folder.path(), "test host")] {
    return identity->identity();
  };
  parts.video = DisplayStreams::x11Parts(name);
  parts.displays = [source] { return source->displays(); };
  parts.injector = InputInjector::createForX11(name);
  auto server = BrowserServer::create(std::move(parts));
  server->start("TES-TCO-DEA-BCD");
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!server->address() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(server->address());
  EXPECT_TRUE(server->address()->starts_with("https://")) << *server->address();
  EXPECT_TRUE(server->usesTLS());

  auto client = WebSocketTestClient::connect(BrowserServer::defaultPort, /*tls=*/true);
  ASSERT_TRUE(client);
  auto head = client->upgrade("code=tes-tco%2Ddeabcd");
  ASSERT_TRUE(head);
  EXPECT_TRUE(head->starts_with("HTTP/1.1 101 Switching Protocols\r\n")) << *head;

  // Video: the first binary message is a keyframe that decodes to the whole display.
  auto frame = client->readFrame(20s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->opcode, WebSocketFrame::binary);
  auto packet = corvel::media::VideoPacket::parse(frame->payload);
  ASSERT_TRUE(packet);
  EXPECT_TRUE(packet->isKeyframe);
  corvel::media::VideoReceiver receiver;
  int width = 0;
  int height = 0;
  receiver.onPicture = [&](const corvel::media::DecodedPicture& picture) {
    width = picture.width;
    height = picture.height;
  };
  receiver.receive(frame->payload);
  EXPECT_EQ(width, 1024);
  EXPECT_EQ(height, 768);

  // Input: the pointer to the centre, then the key with code 0 ("a" on a US keyboard).
  ASSERT_TRUE(client->sendText(R"({"t":"move","x":0.5,"y":0.5})"));
  auto moves = recorder.collectUntil(
      [](const XEventRecorder::Event& e) { return e.type == Type::motion && e.x == 512 && e.y == 384; });
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(moves.back().x, 512);
  EXPECT_EQ(moves.back().y, 384);

  ASSERT_TRUE(client->sendText(R"({"t":"key","code":0,"down":true})"));
  ASSERT_TRUE(client->sendText(R"({"t":"key","code":0})"));
  auto keys = recorder.collectUntil([](const XEventRecorder::Event& e) { return e.type == Type::keyRelease; });
  ASSERT_GE(keys.size(), 2u);
  EXPECT_EQ(keys[keys.size() - 2].type, Type::keyPress);
  EXPECT_EQ(keys[keys.size() - 2].keysym, static_cast<std::uint32_t>(XK_a));
  EXPECT_EQ(keys.back().keysym, static_cast<std::uint32_t>(XK_a));

  // A key left down when the viewer goes is released.
  ASSERT_TRUE(client->sendText(R"({"t":"key","code":56,"down":true})"));  // left shift
  ASSERT_TRUE(recorder.collectUntil([](const auto& e) { return e.type == Type::keyPress; }).size() >= 1);
  client.reset();
  auto released = recorder.collectUntil([](const auto& e) { return e.type == Type::keyRelease; });
  ASSERT_FALSE(released.empty());
  EXPECT_EQ(released.back().keysym, static_cast<std::uint32_t>(XK_Shift_L));

  server->stop();
  EXPECT_TRUE([&] {
    for (int i = 0; i < 500 && server->address(); ++i) std::this_thread::sleep_for(10ms);
    return !server->address();
  }());
}

}  // namespace
}  // namespace ambrel
