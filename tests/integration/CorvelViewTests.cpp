#include <gtest/gtest.h>

#include "Ambrel_Host/capture/PresentHardwareEncoders.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <signal.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "CorvelKit/media/DecodedPicture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

constexpr std::uint32_t kRed = 0xC03030, kGreen = 0x30B040;

// A real host on a 640×480 display showing a red screen with a green square in its middle, and
// `corvel view` against it as a person would run it.
class CorvelViewTest : public ::testing::Test {
 protected:
  corvel::test::XvfbServer hostScreen{"640x480x24"};
  corvel::test::TemporaryFolder clientHome;
  std::unique_ptr<corvel::test::ScreenPainter> painter;
  std::unique_ptr<corvel::test::HostProcess> host;
  std::string code;

  void SetUp() override {
    ASSERT_TRUE(hostScreen.isRunning()) << hostScreen.errors();
    painter = std::make_unique<corvel::test::ScreenPainter>(hostScreen.displayName());
    painter->fill(0, 0, 640, 480, kRed);
    painter->fill(240, 180, 160, 120, kGreen);

    host = std::make_unique<corvel::test::HostProcess>(
        kHost, corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false})",
                                                  .environment = {{"DISPLAY", hostScreen.displayName()}}});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
    code = host->accessCode();
    ASSERT_TRUE(std::regex_match(code, std::regex("[A-Z0-9-]{15}"))) << code;
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0);
  }
};

TEST_F(CorvelViewTest, RecordingPlaysBackFromAKeyframe) {
  // A corner that keeps changing, so that frames keep coming.
  std::atomic<bool> animating{true};
  std::thread animation([&] {
    corvel::test::ScreenPainter corner(hostScreen.displayName());
    for (std::uint32_t seed = 1; animating; ++seed) {
      corner.noise(560, 400, 64, 64, seed);
      std::this_thread::sleep_for(30ms);
    }
  });
  const auto movie = clientHome.path() / "session.mov";
  ChildProcess view(kClient,
                    {"view", "127.0.0.1", "--code", code, "--headless", "--frames", "15", "--record", movie.string()},
                    {{"AMBREL_HOME", clientHome.path().string()}});
  const auto status = view.wait(60s);
  animating = false;
  animation.join();
  ASSERT_EQ(status, 0) << view.output() << view.errors();
  EXPECT_NE(view.output().find("size 640x480"), std::string::npos) << view.output();
  EXPECT_NE(view.output().find("recorded " + movie.string()), std::string::npos) << view.output();

  AVFormatContext* format = nullptr;
  ASSERT_EQ(avformat_open_input(&format, movie.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
  ASSERT_EQ(format->nb_streams, 1u);
  const AVCodecParameters* stream = format->streams[0]->codecpar;
  // corvel says it decodes HEVC, and the host prefers it by default, but only where hardware may
  // encode it: in software it cannot hold the frame rate, and H.264 is streamed instead.
  const auto hardware = presentHardwareEncoders();
  EXPECT_EQ(stream->codec_id, hardware.nvenc || hardware.vaapiDevice ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
  EXPECT_EQ(stream->width, 640);
  EXPECT_EQ(stream->height, 480);

  // Every packet reads back, the first a keyframe; and the first picture decodes to what the
  // screen showed.
  const AVCodec* codec = avcodec_find_decoder(stream->codec_id);
  AVCodecContext* decoder = avcodec_alloc_context3(codec);
  ASSERT_GE(avcodec_parameters_to_context(decoder, stream), 0);
  ASSERT_GE(avcodec_open2(decoder, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int packets = 0;
  bool firstIsKey = false;
  std::uint32_t centre = 0, corner = 0;
  bool decoded = false;
  while (av_read_frame(format, packet) >= 0) {
    if (packets++ == 0) firstIsKey = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!decoded && avcodec_send_packet(decoder, packet) >= 0 && avcodec_receive_frame(decoder, frame) >= 0) {
      corvel::media::DecodedPicture picture;
      picture.width = frame->width;
      picture.height = frame->height;
      picture.layout = corvel::media::DecodedPicture::Layout::yuv420p;
      for (std::size_t i = 0; i < 3; ++i) {
        picture.planes[i] = frame->data[i];
        picture.strides[i] = frame->linesize[i];
      }
      centre = corvel::test::rgbAt(picture, 280, 200);
      corner = corvel::test::rgbAt(picture, 40, 40);
      decoded = true;
    }
    av_packet_unref(packet);
  }
  EXPECT_TRUE(firstIsKey);
  EXPECT_GE(packets, 15);
  ASSERT_TRUE(decoded);
  EXPECT_LE(colourDistance(centre, kGreen), 32) << std::hex << centre;
  EXPECT_LE(colourDistance(corner, kRed), 32) << std::hex << corner;
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  avformat_close_input(&format);
}

// The window on the viewer's own display shows the host's picture, letterboxed, and the pointer
// moved over it moves the host's pointer to the same place of the picture.
TEST_F(CorvelViewTest, WindowShowsThePictureAndSendsThePointer) {
  corvel::test::XvfbServer viewerScreen("1280x720x24");
  ASSERT_TRUE(viewerScreen.isRunning());
  // SDL's software renderer: the same picture on every machine, with no GL driver loaded. SDL and
  // the X modules it loads and unloads keep a few allocations past SDL_Quit that the leak checker
  // of sanitizer builds cannot attribute, so it is off for this windowed run only (the headless
  // runs above check corvel's own code).
  ChildProcess view(kClient, {"view", "127.0.0.1", "--code", code, "--seconds", "60"},
                    {{"AMBREL_HOME", clientHome.path().string()},
                     {"DISPLAY", viewerScreen.displayName()},
                     {"SDL_RENDER_DRIVER", "software"},
                     {"LSAN_OPTIONS", "detect_leaks=0"}});
  ASSERT_TRUE(view.waitForText("size 640x480", 30s)) << view.output() << view.errors();

  // The 1280×720 window holds the 4:3 picture as 960×720 from x = 160.
  corvel::test::ScreenPainter viewer(viewerScreen.displayName());
  auto shows = [&](int x, int y, std::uint32_t colour) {
    for (int i = 0; i < 100; ++i) {
      if (colourDistance(viewer.pixel(x, y), colour) <= 32) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  // Picture points (280, 200) in the square (its middle has the host's cursor) and (40, 40).
  EXPECT_TRUE(shows(580, 300, kGreen)) << std::hex << viewer.pixel(580, 300);
  EXPECT_TRUE(shows(220, 60, kRed)) << std::hex << viewer.pixel(220, 60);

  // A quarter across and a quarter down the picture: (160 + 240, 180) on the viewer's screen.
  viewer.movePointer(400, 180);
  bool moved = false;
  for (int i = 0; i < 100 && !moved; ++i) {
    auto [x, y] = painter->pointer();
    moved = std::abs(x - 160) <= 2 && std::abs(y - 120) <= 2;
    if (!moved) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(moved) << painter->pointer().first << "," << painter->pointer().second;

  view.signal(SIGTERM);
  EXPECT_EQ(view.wait(10s), 0) << view.output() << view.errors();
}

}  // namespace
}  // namespace ambrel
