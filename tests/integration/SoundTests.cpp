#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "CorvelKit/media/AudioEncoder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/PulseServer.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ToneAnalysis.h"
#include "tests/support/TonePlayer.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::ToneAnalysis;
namespace fs = std::filesystem;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// The samples of a 32-bit float WAV file that `corvel view --sound-file` wrote.
std::vector<float> wavSamples(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<float> out;
  if (bytes.size() <= 44) return out;
  out.resize((bytes.size() - 44) / sizeof(float));
  std::memcpy(out.data(), bytes.data() + 44, out.size() * sizeof(float));
  return out;
}

// The "N sound packets/s" figures of `corvel view`'s once-a-second lines from `from` on.
std::vector<int> soundRates(const std::string& output, std::size_t from = 0) {
  std::vector<int> rates;
  const std::regex line(", (\\d+) sound packets/s");
  auto text = output.substr(std::min(from, output.size()));
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    rates.push_back(std::stoi((*it)[1]));
  }
  return rates;
}

// A real host on its own display and its own sound server (a null sink playing a 1 kHz tone),
// watched by `corvel view`.
class SoundTest : public ::testing::Test {
 protected:
  corvel::test::XvfbServer screen{"640x480x24"};
  corvel::test::TemporaryFolder clientHome;
  std::unique_ptr<corvel::test::PulseServer> sound;
  std::unique_ptr<corvel::test::HostProcess> host;

  void SetUp() override {
    if (!corvel::media::AudioEncoder::available()) GTEST_SKIP() << "built without an AAC encoder";
    ASSERT_TRUE(screen.isRunning()) << screen.errors();
    sound = std::make_unique<corvel::test::PulseServer>();
    ASSERT_TRUE(sound->isRunning()) << sound->errors();
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0);
  }
  void startHost(const std::string& settings = R"({"askBeforeConnecting": false})") {
    host = std::make_unique<corvel::test::HostProcess>(
        kHost, corvel::test::HostProcess::Options{
                   .settings = settings,
                   .environment = {{"DISPLAY", screen.displayName()}, {"PULSE_SERVER", sound->address()}}});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
  }
  std::unique_ptr<ChildProcess> view(std::vector<std::string> extra) {
    std::vector<std::string> args{"view", "127.0.0.1", "--code", host->accessCode(), "--headless"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(kClient, std::move(args),
                                          std::map<std::string, std::string>{{"AMBREL_HOME", clientHome.path().string()}});
  }
  std::string hostCommand(std::vector<std::string> args) {
    ChildProcess p(kHost, std::move(args), {{"AMBREL_HOME", host->home().string()}});
    (void)p.wait(30s);
    return p.output() + p.errors();
  }
};

TEST_F(SoundTest, AViewerDecodesTheToneFromPacketsTenMillisecondsApart) {
  corvel::test::TonePlayer tone(sound->address(), 1000);
  ASSERT_TRUE(tone.isPlaying()) << tone.errors();
  tone.setTone(true);
  startHost();
  const auto wav = clientHome.path() / "sound.wav";
  const auto movie = clientHome.path() / "session.mov";
  auto viewer = view({"--seconds", "6", "--sound-file", wav.string(), "--record", movie.string()});
  ASSERT_EQ(viewer->wait(60s), 0) << viewer->errors();
  const auto out = viewer->output();
  EXPECT_NE(out.find("sound 48000 Hz, 2 channels, 480 frames a packet\n"), std::string::npos) << out;

  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("sound: (\\d+) packets, (\\d+) decoded, (\\d+) frames, "
                                                   "gap median ([0-9.]+) ms")))
      << out;
  const long packets = std::stol(m[1]), decoded = std::stol(m[2]), frames = std::stol(m[3]);
  const double medianGap = std::stod(m[4]);
  // About a hundred packets a second of the six (less the session's start), each one decoded to
  // 480 frames.
  EXPECT_GT(packets, 300);
  EXPECT_LT(packets, 650);
  EXPECT_EQ(decoded, packets);
  EXPECT_EQ(frames, decoded * 480);
  EXPECT_NEAR(medianGap, 10.0, 2.0);

  // The last two seconds of what was heard: the tone, at its frequency.
  const auto left = ToneAnalysis::firstChannel(wavSamples(wav), 2);
  ASSERT_GT(left.size(), 2u * 48000u);
  const auto tail = std::span(left).subspan(left.size() - 2 * 48000);
  const auto frequency = ToneAnalysis::dominantFrequency(tail, 48000);
  ASSERT_TRUE(frequency.has_value());
  EXPECT_NEAR(*frequency, 1000, 10);
  EXPECT_GT(ToneAnalysis::rms(tail), 0.2);

  // The recording carries the sound as a second track, as long as the picture's.
  AVFormatContext* format = nullptr;
  ASSERT_EQ(avformat_open_input(&format, movie.c_str(), nullptr, nullptr), 0) << out;
  ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
  ASSERT_EQ(format->nb_streams, 2u);
  const AVStream* audio = format->streams[1];
  EXPECT_EQ(audio->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(audio->codecpar->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(audio->codecpar->sample_rate, 48000);
  int audioPackets = 0;
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == 1) ++audioPackets;
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  EXPECT_GE(audioPackets, packets - 5);
}

TEST_F(SoundTest, ClientsWaitingForApprovalHearNothingAndTheSettingStopsAndRestartsTheSound) {
  corvel::test::TonePlayer tone(sound->address(), 1000);
  ASSERT_TRUE(tone.isPlaying()) << tone.errors();
  tone.setTone(true);
  startHost(R"({"askBeforeConnecting": true})");
  auto admitted = view({"--name", "Admitted", "--seconds", "30"});
  auto waiting = view({"--name", "Waiting", "--seconds", "30"});
  std::string id;
  ASSERT_TRUE(waitFor([&] {
    std::smatch m;
    const auto status = hostCommand({"status"});
    if (!std::regex_search(status, m, std::regex("([0-9A-F-]{36})  Admitted  127.0.0.1  waiting for approval"))) return false;
    id = m[1];
    return status.find("Waiting  127.0.0.1  waiting for approval") != std::string::npos;
  }));
  EXPECT_NE(hostCommand({"approve", id}).find("Allowed"), std::string::npos);

  // The admitted viewer hears the computer.
  ASSERT_TRUE(waitFor([&] {
    auto rates = soundRates(admitted->output());
    return rates.size() >= 2 && rates.back() >= 80;
  })) << admitted->output();

  // Off: within a second nothing more comes. The lines printed a second after the change count
  // what arrived after it.
  EXPECT_NE(hostCommand({"settings", "shareSound", "false"}).find("shareSound"), std::string::npos);
  std::this_thread::sleep_for(2050ms);
  const auto mark = admitted->output().size();
  std::this_thread::sleep_for(2500ms);
  const auto afterOff = soundRates(admitted->output(), mark);
  ASSERT_GE(afterOff.size(), 2u) << admitted->output();
  for (int rate : afterOff) EXPECT_EQ(rate, 0) << admitted->output();
  EXPECT_NE(hostCommand({"status"}).find("Sound: off (shareSound is false)"), std::string::npos);

  // On again: a new format, then the packets again.
  hostCommand({"settings", "shareSound", "true"});
  ASSERT_TRUE(waitFor([&] {
    const auto text = admitted->output();
    auto rates = soundRates(text);
    std::size_t formats = 0;
    for (auto at = text.find("sound 48000 Hz"); at != std::string::npos; at = text.find("sound 48000 Hz", at + 1)) ++formats;
    return formats == 2 && !rates.empty() && rates.back() >= 80;
  })) << admitted->output();

  // The client still waiting for approval got neither a format nor a packet.
  const auto waitingOutput = waiting->output();
  EXPECT_EQ(waitingOutput.find("sound"), std::string::npos) << waitingOutput;
}

TEST_F(SoundTest, TheHostWaitsForAMissingSoundServerAndFollowsItsRestart) {
  sound->stop();
  startHost();
  auto viewer = view({"--seconds", "40"});
  // Video goes on without sound, and the status says why.
  ASSERT_TRUE(waitFor([&] { return hostCommand({"status"}).find("Sound: no sound server") != std::string::npos; }))
      << hostCommand({"status"});
  ASSERT_TRUE(waitFor([&] { return soundRates(viewer->output()).size() >= 2; })) << viewer->output();
  for (int rate : soundRates(viewer->output())) EXPECT_EQ(rate, 0);

  // The server comes: sound follows without anyone doing anything.
  ASSERT_TRUE(sound->start()) << sound->errors();
  auto tone = std::make_unique<corvel::test::TonePlayer>(sound->address(), 1000);
  tone->setTone(true);
  ASSERT_TRUE(waitFor([&] {
    auto rates = soundRates(viewer->output());
    return !rates.empty() && rates.back() >= 80;
  }, 20s)) << viewer->output() << hostCommand({"status"});

  // It restarts: the host reconnects, and the same stream goes on for the viewer.
  tone.reset();
  sound->stop();
  ASSERT_TRUE(waitFor([&] { return hostCommand({"status"}).find("Sound: the sound server went away") != std::string::npos; }))
      << hostCommand({"status"});
  ASSERT_TRUE(sound->start()) << sound->errors();
  tone = std::make_unique<corvel::test::TonePlayer>(sound->address(), 1000);
  tone->setTone(true);
  ASSERT_TRUE(waitFor([&] {
    auto rates = soundRates(viewer->output());
    return hostCommand({"status"}).find("Sound: capturing corvel_test.monitor") != std::string::npos &&
           !rates.empty() && rates.back() >= 80;
  }, 20s)) << viewer->output() << hostCommand({"status"});
  EXPECT_TRUE(viewer->wait(0ms) == std::nullopt) << "the viewer's session lasts through it all";
}

}  // namespace
}  // namespace ambrel
