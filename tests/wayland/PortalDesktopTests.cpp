#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/DesktopBackendChooser.h"
#include "Ambrel_Host/wayland/PortalDesktop.h"
#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakePortal.h"
#include "tests/support/HeadlessMutter.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;
using corvel::test::FakePortal;

const std::string kProbe = std::string(CORVEL_BIN_DIR) + "/wayland_probe";

constexpr std::uint32_t kGreen = 0x30B040;

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

// A headless GNOME desktop (one 800×600 monitor) filled green by a client that reports its input,
// with a stand-in desktop portal on its bus that shares it.
class PortalDesktopTest : public ::testing::Test {
 protected:
  std::unique_ptr<corvel::test::HeadlessMutter> desktop;
  std::unique_ptr<ChildProcess> probe;
  std::unique_ptr<FakePortal> portal;
  corvel::test::TemporaryHome home;

  void SetUp() override {
    if (!corvel::test::HeadlessMutter::available()) GTEST_SKIP() << "mutter, pipewire or wireplumber missing";
    desktop = std::make_unique<corvel::test::HeadlessMutter>(std::vector<std::string>{"800x600"});
    ASSERT_TRUE(desktop->isRunning()) << desktop->errors();
  }

  void startPortal(FakePortal::Options options = {}) {
    portal = std::make_unique<FakePortal>(*desktop, options);
    ASSERT_TRUE(portal->isRunning()) << portal->errors();
  }

  PortalSession::Options sessionOptions() const {
    PortalSession::Options options;
    options.busAddress = desktop->busAddress();
    options.tokenFile = PortalDesktop::tokenFile();
    options.startTimeout = 20s;
    return options;
  }
};

TEST_F(PortalDesktopTest, SharesTheScreensPictureAndTakesInput) {
  probe = std::make_unique<ChildProcess>(kProbe, std::vector<std::string>{"--colour", "30B040", "--fullscreen"},
                                         desktop->environment(), true);
  ASSERT_TRUE(probe->waitForText("ready", 20s)) << probe->output() << probe->errors();
  startPortal();
  auto opened = PortalDesktop::open(sessionOptions());
  ASSERT_TRUE(opened) << opened.error() << portal->errors();
  DesktopBackend backend = std::move(*opened);
  EXPECT_EQ(backend.name, "desktop portal");

  // What the session asked for: keyboard and pointer kept until revoked, the cursor drawn in.
  const auto selections = portal->deviceSelections();
  ASSERT_EQ(selections.size(), 1u);
  EXPECT_EQ(selections[0].types, 3u);
  EXPECT_EQ(selections[0].persistMode, 2u);
  EXPECT_FALSE(selections[0].restoreToken);
  EXPECT_EQ(portal->cursorModes(), std::vector<std::uint32_t>{2u});

  auto displays = backend.displays->displays();
  ASSERT_TRUE(displays);
  ASSERT_EQ(displays->size(), 1u);
  const auto display = displays->front();
  EXPECT_EQ(display.width, 800);
  EXPECT_EQ(display.height, 600);
  EXPECT_TRUE(display.isMain);

  // A frame with the client's green, at the size asked for. The first ones may show the window
  // still appearing, as the mutter tests also allow.
  auto capturer = backend.capturer();
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::uint32_t> centres;
  int width = 0;
  capturer->setFrameHandler([&](const corvel::media::VideoFrame& frame, std::chrono::steady_clock::time_point) {
    const auto centre = colourAt(frame, frame.width / 2, frame.height / 2);
    std::lock_guard lock(mutex);
    width = frame.width;
    centres.push_back(centre);
    arrived.notify_all();
  });
  ASSERT_FALSE(capturer->start(display.id, 400, 30));
  {
    std::unique_lock lock(mutex);
    const auto green = [&] {
      return std::any_of(centres.begin(), centres.end(),
                         [](std::uint32_t c) { return colourDistance(c, kGreen) <= 32; });
    };
    ASSERT_TRUE(arrived.wait_for(lock, 20s, [&] { return !centres.empty(); })) << portal->errors();
    EXPECT_TRUE(arrived.wait_for(lock, 5s, green)) << "no green picture; the first: " << std::hex << centres.front();
    EXPECT_EQ(width, 400);
  }
  EXPECT_EQ(capturer->start(0xFFFF, 0, 30), std::error_code(CaptureErrc::displayNotFound));
  capturer->stop();

  // The pointer and a key reach the client. The first events of a new input session can be lost
  // on their way into mutter, and the pointer's arrival on the window is an "enter": a first key
  // and move go ahead of the ones looked for.
  auto poster = backend.eventPoster();
  ASSERT_TRUE(poster->isAvailable());
  EXPECT_EQ(poster->screenBounds(), (DisplayBounds{0, 0, 800, 600}));
  poster->key('x', true);
  poster->key('x', false);
  poster->moveTo(10, 10);
  poster->flush();
  std::this_thread::sleep_for(300ms);
  poster->moveTo(200, 300);
  poster->button(EventPoster::leftButton, true, 1);
  poster->button(EventPoster::leftButton, false, 1);
  poster->key('o', true);
  poster->key('o', false);
  poster->flush();
  EXPECT_TRUE(probe->waitForText("motion 200 300", 10s)) << probe->output() << portal->errors();
  EXPECT_TRUE(probe->waitForText("button 272 pressed\nbutton 272 released", 10s)) << probe->output();
  EXPECT_TRUE(probe->waitForText("key o", 10s)) << probe->output();
}

TEST_F(PortalDesktopTest, TheRestoreTokenIsKeptPrivateAndSentWithTheNextSession) {
  startPortal();
  const auto file = PortalDesktop::tokenFile();
  {
    auto first = PortalDesktop::open(sessionOptions());
    ASSERT_TRUE(first) << first.error() << portal->errors();
  }
  auto kept = corvel::AtomicFile::read(file);
  ASSERT_TRUE(kept);
  EXPECT_EQ(std::string(kept->begin(), kept->end()), "restore-1");
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // The next start, through the backend chooser as the host makes it: the kept token goes with
  // the request, and the new one replaces it.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", desktop->busAddress().c_str(), 1);
  const auto backend =
      DesktopBackendChooser::build({DesktopBackendChooser::Kind::portal, "Wayland session (WAYLAND_DISPLAY=wayland-0)"});
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(backend.name, "desktop portal") << backend.reason;
  EXPECT_EQ(backend.reason, "Wayland session (WAYLAND_DISPLAY=wayland-0)");
  const auto selections = portal->deviceSelections();
  ASSERT_EQ(selections.size(), 2u);
  EXPECT_EQ(selections[1].restoreToken, "restore-1");
  kept = corvel::AtomicFile::read(file);
  ASSERT_TRUE(kept);
  EXPECT_EQ(std::string(kept->begin(), kept->end()), "restore-2");
}

TEST_F(PortalDesktopTest, ACancelledRequestIsAClearErrorAndNoHang) {
  startPortal({.cancelStart = true});
  const auto began = std::chrono::steady_clock::now();
  auto opened = PortalDesktop::open(sessionOptions());
  ASSERT_FALSE(opened);
  EXPECT_NE(opened.error().find("cancelled"), std::string::npos) << opened.error();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
  EXPECT_FALSE(corvel::AtomicFile::read(PortalDesktop::tokenFile()));

  // The host then runs without a screen, and says why.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", desktop->busAddress().c_str(), 1);
  const auto backend = DesktopBackendChooser::build({DesktopBackendChooser::Kind::portal, "Wayland session"});
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(backend.name, "none");
  EXPECT_NE(backend.reason.find("Wayland session; but the request to share the screen was cancelled"),
            std::string::npos)
      << backend.reason;
  EXPECT_FALSE(backend.eventPoster()->isAvailable());
}

}  // namespace
}  // namespace ambrel
