#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "Ambrel_Host/capture/ScreenCapturer.h"
#include "Ambrel_Host/wayland/WlrootsDesktop.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/SwayServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;

const std::string kProbe = std::string(CORVEL_BIN_DIR) + "/wayland_probe";

constexpr std::uint32_t kBlue = 0x3060C0;

// The test client in the compositor, full screen in one colour, reporting what it receives.
std::unique_ptr<ChildProcess> showProbe(const corvel::test::SwayServer& sway, std::uint32_t colour) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%06X", colour);
  auto probe = std::make_unique<ChildProcess>(kProbe, std::vector<std::string>{"--colour", hex, "--fullscreen"},
                                              sway.clientEnvironment(), true);
  return probe;
}

// The colour of an NV12 frame at a point.
std::uint32_t colourAt(const corvel::media::VideoFrame& frame, int x, int y) {
  corvel::media::DecodedPicture picture;
  picture.width = frame.width;
  picture.height = frame.height;
  picture.layout = corvel::media::DecodedPicture::Layout::nv12;
  picture.planes[0] = frame.y;
  picture.strides[0] = static_cast<int>(frame.yStride);
  picture.planes[1] = frame.uv;
  picture.strides[1] = static_cast<int>(frame.uvStride);
  return corvel::test::rgbAt(picture, x, y);
}

class WlrootsDesktopTest : public ::testing::Test {
 protected:
  corvel::test::SwayServer sway;
  DesktopBackend backend;

  void SetUp() override {
    ASSERT_TRUE(sway.isRunning()) << sway.errors();
    auto opened = WlrootsDesktop::open(sway.socket().string());
    ASSERT_TRUE(opened) << opened.error();
    backend = std::move(*opened);
  }

  std::uint32_t mainDisplay() {
    auto displays = backend.displays->displays();
    if (!displays) return 0;
    for (const auto& d : *displays) {
      if (d.isMain) return d.id;
    }
    return 0;
  }
};

TEST_F(WlrootsDesktopTest, OutputsAreListedAndTheirChangesReported) {
  EXPECT_EQ(backend.name, "wlroots");
  auto first = backend.displays->displays();
  ASSERT_TRUE(first) << first.error().message();
  ASSERT_EQ(first->size(), 1u);
  EXPECT_EQ((*first)[0].name, "HEADLESS-1");
  EXPECT_EQ((*first)[0].width, 1920);
  EXPECT_EQ((*first)[0].height, 1080);
  EXPECT_TRUE((*first)[0].isMain);
  EXPECT_NE((*first)[0].id, 0u);

  std::mutex mutex;
  std::condition_variable changed;
  int changes = 0;
  backend.displays->setChangeHandler([&] {
    std::lock_guard lock(mutex);
    ++changes;
    changed.notify_all();
  });
  ASSERT_TRUE(sway.message({"create_output"}));
  ASSERT_TRUE(sway.message({"output", "HEADLESS-2", "resolution", "1280x720", "position", "1920", "0"}));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return changes > 0; }));
  }
  std::vector<ScreenDisplay> now;
  for (int i = 0; i < 100; ++i) {
    auto displays = backend.displays->displays();
    ASSERT_TRUE(displays);
    now = *displays;
    if (now.size() == 2 && now[1].width == 1280) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now[0], (*first)[0]);
  EXPECT_EQ(now[1].name, "HEADLESS-2");
  EXPECT_EQ(now[1].x, 1920);
  EXPECT_EQ(now[1].y, 0);
  EXPECT_EQ(now[1].width, 1280);
  EXPECT_EQ(now[1].height, 720);
  EXPECT_FALSE(now[1].isMain);
  backend.displays->setChangeHandler(nullptr);

  // Input covers both: the layout is 3200 wide.
  auto poster = backend.eventPoster();
  poster->flush();
  for (int i = 0; i < 50 && poster->screenBounds().width != 3200; ++i) {
    std::this_thread::sleep_for(50ms);
    poster->flush();
  }
  EXPECT_EQ(poster->screenBounds(), (DisplayBounds{0, 0, 3200, 1080}));
}

TEST_F(WlrootsDesktopTest, CaptureDeliversTheClientsPictureAndOnlyChangedFrames) {
  auto probe = showProbe(sway, kBlue);
  ASSERT_TRUE(probe->waitForText("ready", 20s)) << probe->errors();
  // The probe's picture reaches the screen with the frame after "ready".
  std::this_thread::sleep_for(200ms);

  auto capturer = backend.capturer();
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::uint32_t> centres;
  int width = 0, height = 0;
  capturer->setFrameHandler([&](const corvel::media::VideoFrame& frame, std::chrono::steady_clock::time_point) {
    const auto centre = colourAt(frame, frame.width / 2, frame.height / 2);
    std::lock_guard lock(mutex);
    width = frame.width;
    height = frame.height;
    centres.push_back(centre);
    arrived.notify_all();
  });
  const auto id = mainDisplay();
  ASSERT_NE(id, 0u);
  ASSERT_FALSE(capturer->start(id, 960, 30));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, 10s, [&] { return !centres.empty(); }));
    EXPECT_EQ(width, 960);
    EXPECT_EQ(height, 540);
    EXPECT_LE(colourDistance(centres.front(), kBlue), 24) << std::hex << centres.front();
  }

  // A still screen sends (next to) nothing.
  std::this_thread::sleep_for(300ms);
  std::size_t settled = 0;
  {
    std::lock_guard lock(mutex);
    settled = centres.size();
  }
  std::this_thread::sleep_for(1500ms);
  {
    std::lock_guard lock(mutex);
    EXPECT_LE(centres.size() - settled, 1u) << "frames of an unchanged screen";
  }

  // The window goes: the new picture comes.
  probe->closeInput();
  ASSERT_EQ(probe->wait(10s), 0);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, 10s, [&] { return colourDistance(centres.back(), kBlue) > 60; }))
        << std::hex << centres.back();
  }
  capturer->stop();

  EXPECT_TRUE(capturer->start(0xFFFF, 0, 30)) << "a display that isn't there";
}

TEST_F(WlrootsDesktopTest, InputReachesTheFocusedClient) {
  auto probe = showProbe(sway, kBlue);
  ASSERT_TRUE(probe->waitForText("ready", 20s)) << probe->errors();
  auto poster = backend.eventPoster();
  ASSERT_TRUE(poster->isAvailable());
  EXPECT_EQ(poster->screenBounds(), (DisplayBounds{0, 0, 1920, 1080}));

  // The pointer's way onto the window is an enter (with its place), not a motion: go there first.
  poster->moveTo(10, 10);
  poster->flush();
  ASSERT_TRUE(probe->waitForText("enter", 10s)) << probe->output();
  poster->moveTo(300, 400);
  poster->button(EventPoster::leftButton, true, 1);
  poster->button(EventPoster::leftButton, false, 1);
  poster->button(EventPoster::wheelDown, true, 1);
  poster->button(EventPoster::wheelDown, false, 1);
  poster->flush();
  EXPECT_TRUE(probe->waitForText("motion 300 400", 10s)) << probe->output();
  EXPECT_TRUE(probe->waitForText("button 272 pressed\nbutton 272 released", 10s)) << probe->output();
  EXPECT_TRUE(probe->waitForText("axis V 15", 10s)) << probe->output();

  // Text with capitals, and characters the US layout lacks; then keys by keysym.
  poster->typeText(U"Hé €!");
  poster->key(0xFF0D, true);  // Return
  poster->key(0xFF0D, false);
  poster->key(0xFFE1, true);  // Shift held around a letter
  poster->key('q', true);
  poster->key('q', false);
  poster->key(0xFFE1, false);
  poster->key('q', true);
  poster->key('q', false);
  poster->flush();
  EXPECT_TRUE(probe->waitForText("key <Shift_L>\nkey H\nkey é\nkey  \nkey €\nkey <Shift_L>\nkey !\nkey <Return>\n", 10s))
      << probe->output();
  EXPECT_TRUE(probe->waitForText("key <Shift_L>\nkey Q\nkey q\n", 10s)) << probe->output();
  EXPECT_FALSE(poster->hasRemappedKeys());
}

TEST_F(WlrootsDesktopTest, ClipboardTextGoesBothWays) {
  ASSERT_TRUE(backend.clipboard);
  const auto start = backend.clipboard->read();

  // Another program's text is read as it comes.
  ChildProcess copy("/usr/bin/wl-copy", {"--foreground", "from a client ✓"}, sway.clientEnvironment());
  Clipboard::Snapshot seen;
  for (int i = 0; i < 100; ++i) {
    seen = backend.clipboard->read();
    if (seen.changeCount > start.changeCount && !seen.pending) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GT(seen.changeCount, start.changeCount);
  EXPECT_FALSE(seen.pending);
  EXPECT_EQ(seen.text, "from a client ✓");

  // The host's text is pasted elsewhere, and taking the clipboard counts once.
  const auto written = backend.clipboard->write("from the host ✓");
  EXPECT_EQ(written, seen.changeCount + 1);
  EXPECT_EQ(copy.wait(10s), 0) << "wl-copy ends once it no longer owns the clipboard";
  ChildProcess paste("/usr/bin/wl-paste", {"--no-newline"}, sway.clientEnvironment());
  EXPECT_EQ(paste.wait(10s), 0) << paste.errors();
  EXPECT_EQ(paste.output(), "from the host ✓");
  std::this_thread::sleep_for(200ms);
  const auto after = backend.clipboard->read();
  EXPECT_EQ(after.changeCount, written);
  EXPECT_EQ(after.text, "from the host ✓");
}

}  // namespace
}  // namespace ambrel
