#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/capture/DisplayStreams.h"
#include "CorvelKit/media/AudioDecoder.h"
#include "tests/support/FakeSoundSource.h"
#include "tests/support/ToneAnalysis.h"

namespace ambrel {
namespace {

using corvel::protocol::AudioStreamFormat;
using test::FakeSoundSource;
using ToneAnalysis = corvel::test::ToneAnalysis;

class StillCapturer final : public ScreenCapturer {
 public:
  void setFrameHandler(FrameHandler) override {}
  void setStopHandler(StopHandler) override {}
  std::error_code start(std::uint32_t, int, int) override { return {}; }
  void stop() override {}
  void setFrameRate(int) override {}
  void setMaxWidth(int) override {}
};

class SilentEncoder final : public corvel::media::VideoEncoder {
 public:
  void setOnPacket(PacketHandler) override {}
  void encode(const corvel::media::VideoFrame&, std::chrono::microseconds) override {}
  void requestKeyframe() override {}
  void setBitrate(int) override {}
  void configure(int, int, std::optional<corvel::media::VideoCodec>, std::optional<bool>) override {}
  void invalidate() override {}
};

// A client as the streams see it: what its session state says, and what it was sent, in order.
class FakeClient final : public StreamViewer, public SoundTarget {
 public:
  enum class State { viewer, screenSharer, unadmitted };
  explicit FakeClient(State state, std::uint32_t display = 1) : state_(state), display_(display) {}

  void admit() {
    std::lock_guard lock(mutex_);
    state_ = State::viewer;
  }

  // StreamViewer: only a viewer watches.
  Description describe() const override {
    std::lock_guard lock(mutex_);
    return {state_ == State::viewer, display_, std::nullopt, false};
  }
  void withVideoFlow(const std::function<void(VideoFlow&)>& change) override {
    VideoFlow flow;
    change(flow);
  }
  void sendVideo(corvel::ByteView, std::function<void()> sent) override {
    if (sent) sent();
  }
  // SoundTarget.
  bool hearsSound() const override {
    std::lock_guard lock(mutex_);
    return state_ == State::viewer;
  }
  void sendAudioFormat(const AudioStreamFormat& format) override {
    std::lock_guard lock(mutex_);
    log_.push_back('F');
    format_ = format;
  }
  void sendAudio(corvel::ByteView packet) override {
    std::lock_guard lock(mutex_);
    log_.push_back('a');
    packets_.emplace_back(packet.begin(), packet.end());
  }

  // "F" for a format, "a" for a packet.
  std::string log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  std::vector<corvel::Bytes> packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  std::optional<AudioStreamFormat> format() const {
    std::lock_guard lock(mutex_);
    return format_;
  }

 private:
  mutable std::mutex mutex_;
  State state_;
  std::uint32_t display_;
  std::string log_;
  std::vector<corvel::Bytes> packets_;
  std::optional<AudioStreamFormat> format_;
};

class SoundSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!corvel::media::AudioEncoder::available()) GTEST_SKIP() << "built without an AAC encoder";
  }

  std::shared_ptr<DisplayStreams> makeStreams(bool withSource = true) {
    DisplayStreams::Parts parts;
    parts.capturer = [] { return std::make_unique<StillCapturer>(); };
    parts.encoder = [](int, int) { return std::make_unique<SilentEncoder>(); };
    parts.sound = [log = sources, withSource]() -> std::unique_ptr<SoundSource> {
      if (!withSource) return nullptr;
      return std::make_unique<FakeSoundSource>(log);
    };
    return std::make_shared<DisplayStreams>(io.get_executor(), std::move(parts), 1920, 6'000'000, 60);
  }

  // `packets` packets' worth of a 1 kHz tone at the host's rate.
  bool play(int packets, double rate = 48000) {
    const auto pcm = ToneAnalysis::sine(1000, rate, 2, static_cast<std::size_t>(480 * packets));
    return FakeSoundSource::play(*sources, rate, 2, pcm);
  }

  boost::asio::io_context io;  // never run: what the streams post stays queued
  std::shared_ptr<FakeSoundSource::Log> sources = std::make_shared<FakeSoundSource::Log>();
};

TEST_F(SoundSharingTest, OnlyAdmittedViewersHearAndEachGetsTheFormatFirst) {
  auto streams = makeStreams();
  auto viewer = std::make_shared<FakeClient>(FakeClient::State::viewer, 1);
  auto onOtherDisplay = std::make_shared<FakeClient>(FakeClient::State::viewer, 2);
  auto sharer = std::make_shared<FakeClient>(FakeClient::State::screenSharer, 1);
  auto waiting = std::make_shared<FakeClient>(FakeClient::State::unadmitted, 1);
  for (auto& c : {viewer, onOtherDisplay, sharer, waiting}) streams->attach(c);

  ASSERT_TRUE(play(10));
  // One packet per 480 frames, the format ahead of them, and nothing for those not admitted
  // as viewers.
  EXPECT_EQ(viewer->log(), "F" + std::string(10, 'a'));
  EXPECT_EQ(onOtherDisplay->log(), viewer->log());
  EXPECT_EQ(sharer->log(), "");
  EXPECT_EQ(waiting->log(), "");
  ASSERT_TRUE(streams->audioFormat().has_value());
  EXPECT_EQ(viewer->format(), streams->audioFormat());
  EXPECT_EQ(streams->audioFormat()->framesPerPacket, 480);

  // Admitted later: the format reaches it before its first packet, and only it gets it again.
  waiting->admit();
  streams->update();
  ASSERT_TRUE(play(2));
  EXPECT_EQ(waiting->log(), "Faa");
  EXPECT_EQ(viewer->log(), "F" + std::string(12, 'a'));
  EXPECT_EQ(sharer->log(), "");

  // Sound of another rate is dropped, not resampled: nothing reaches anyone.
  ASSERT_TRUE(play(5, 44100));
  EXPECT_EQ(viewer->log(), "F" + std::string(12, 'a'));

  // What a viewer got decodes back to the tone.
  auto decoder = corvel::media::AudioDecoder::create(*viewer->format());
  ASSERT_NE(decoder, nullptr);
  std::vector<float> left;
  for (auto& p : viewer->packets()) {
    auto pcm = decoder->decode(p);
    ASSERT_TRUE(pcm.has_value());
    auto mono = ToneAnalysis::firstChannel(pcm->samples, pcm->channels);
    left.insert(left.end(), mono.begin(), mono.end());
  }
  auto frequency = ToneAnalysis::dominantFrequency(std::span(left).subspan(960), 48000);
  ASSERT_TRUE(frequency.has_value());
  EXPECT_NEAR(*frequency, 1000, 10);
}

TEST_F(SoundSharingTest, TheSettingAndTheViewersStartAndStopTheSoundPath) {
  auto streams = makeStreams();
  EXPECT_FALSE(play(1));  // nobody watches: no sound is captured
  auto viewer = std::make_shared<FakeClient>(FakeClient::State::viewer);
  streams->attach(viewer);
  ASSERT_TRUE(play(1));
  EXPECT_EQ(viewer->log(), "Fa");
  ASSERT_TRUE(FakeSoundSource::say(*sources, "Sound: capturing the test tone", true));
  EXPECT_EQ(streams->soundStatus(), "Sound: capturing the test tone");

  // Off: the source stops at once, nothing more is sent, and the status says why.
  streams->setShareSound(false);
  EXPECT_FALSE(play(1));
  EXPECT_EQ(sources->stops, 1);
  EXPECT_FALSE(streams->audioFormat().has_value());
  EXPECT_EQ(streams->soundStatus(), "Sound: off (shareSound is false)");
  EXPECT_TRUE(streams->hasPipeline(1));  // the picture goes on

  // On again: a new sound path, whose format the viewer gets again ahead of its packets.
  streams->setShareSound(true);
  EXPECT_EQ(sources->starts, 2);
  ASSERT_TRUE(play(1));
  EXPECT_EQ(viewer->log(), "FaFa");

  // The last viewer leaving ends it too.
  streams->detach(*viewer);
  EXPECT_FALSE(sources->running);
  EXPECT_EQ(sources->stops, 2);
}

TEST_F(SoundSharingTest, WithoutSoundCaptureTheVideoStreamsAndTheStatusSaysSo) {
  auto streams = makeStreams(/*withSource=*/false);
  auto viewer = std::make_shared<FakeClient>(FakeClient::State::viewer);
  EXPECT_TRUE(streams->attach(viewer));
  EXPECT_FALSE(streams->audioFormat().has_value());
  EXPECT_EQ(streams->soundStatus(), "Sound: off (this build has no sound capture)");
}

}  // namespace
}  // namespace ambrel
