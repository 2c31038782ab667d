#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <regex>
#include <string>

#include "CorvelKit/media/DecodedPicture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/SwayServer.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";
const std::string kProbe = std::string(CORVEL_BIN_DIR) + "/wayland_probe";

constexpr std::uint32_t kOrange = 0xE08020;

// The colour at the middle of the first picture of a recorded movie; nothing when none decodes.
std::optional<std::uint32_t> firstPictureCentre(const std::filesystem::path& movie) {
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, movie.c_str(), nullptr, nullptr) != 0) return std::nullopt;
  std::optional<std::uint32_t> centre;
  if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams == 1) {
    const AVCodecParameters* stream = format->streams[0]->codecpar;
    AVCodecContext* decoder = avcodec_alloc_context3(avcodec_find_decoder(stream->codec_id));
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_parameters_to_context(decoder, stream) >= 0 && avcodec_open2(decoder, nullptr, nullptr) >= 0) {
      while (!centre && av_read_frame(format, packet) >= 0) {
        if (avcodec_send_packet(decoder, packet) >= 0 && avcodec_receive_frame(decoder, frame) >= 0) {
          corvel::media::DecodedPicture picture;
          picture.width = frame->width;
          picture.height = frame->height;
          picture.layout = corvel::media::DecodedPicture::Layout::yuv420p;
          for (std::size_t i = 0; i < 3; ++i) {
            picture.planes[i] = frame->data[i];
            picture.strides[i] = frame->linesize[i];
          }
          centre = corvel::test::rgbAt(picture, frame->width / 2, frame->height / 2);
        }
        av_packet_unref(packet);
      }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
  }
  avformat_close_input(&format);
  return centre;
}

// A real host on a headless sway, told to use the wlroots desktop, with a full-screen client in
// one colour; corvel as a person would run it.
TEST(WlrootsHost, StreamsTheCompositorsPictureAndTakesInput) {
  corvel::test::SwayServer sway;
  ASSERT_TRUE(sway.isRunning()) << sway.errors();
  ChildProcess probe(kProbe, {"--colour", "E08020", "--fullscreen"}, sway.clientEnvironment(), true);
  ASSERT_TRUE(probe.waitForText("ready", 20s)) << probe.errors();

  auto environment = sway.clientEnvironment();
  environment["AMBREL_DESKTOP"] = "wlroots";
  corvel::test::HostProcess host(kHost, {.settings = R"({"askBeforeConnecting": false})",
                                         .environment = environment,
                                         .readyText = "Listener: Ready"});
  ASSERT_TRUE(host.isReady()) << host.process().errors();
  corvel::test::TemporaryFolder clientHome;

  const auto movie = clientHome.path() / "session.mov";
  ChildProcess view(kClient,
                    {"view", "127.0.0.1", "--code", host.accessCode(), "--headless", "--seconds", "3", "--record",
                     movie.string()},
                    {{"AMBREL_HOME", clientHome.path().string()}});
  ASSERT_EQ(view.wait(60s), 0) << view.output() << view.errors() << host.process().errors();
  std::smatch size;
  const auto output = view.output();
  ASSERT_TRUE(std::regex_search(output, size, std::regex("size (\\d+)x(\\d+)"))) << output;
  EXPECT_EQ(std::stoi(size[1]) * 1080, std::stoi(size[2]) * 1920) << "the 16:9 output, perhaps scaled";
  const auto centre = firstPictureCentre(movie);
  ASSERT_TRUE(centre) << output;
  EXPECT_LE(colourDistance(*centre, kOrange), 32) << std::hex << *centre;

  ChildProcess client(kClient,
                      {"connect", "127.0.0.1", "--code", host.accessCode(), "--seconds", "2", "--input",
                       "move 0.25 0.5; click; type Hi!"},
                      {{"AMBREL_HOME", clientHome.path().string()}});
  ASSERT_TRUE(client.waitForText("input sent", 20s)) << client.output() << host.process().errors();
  EXPECT_EQ(client.wait(20s), 0);
  EXPECT_TRUE(probe.waitForText("motion 480 540", 10s)) << probe.output();
  EXPECT_TRUE(probe.waitForText("button 272 pressed\nbutton 272 released", 10s)) << probe.output();
  EXPECT_TRUE(probe.waitForText("key H\nkey i\n", 10s)) << probe.output();
  EXPECT_TRUE(probe.waitForText("key !\n", 10s)) << probe.output();
  EXPECT_EQ(host.stop(), 0);
}

}  // namespace
}  // namespace ambrel
