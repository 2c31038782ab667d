#include <gtest/gtest.h>

#include "CorvelKit/media/AudioEncoder.h"
#include "CorvelKit/media/SessionRecorder.h"
#include "CorvelKit/media/VideoDepacketizer.h"
#include "CorvelKit/media/FFmpeg.h"
#include "EncodedClip.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ToneAnalysis.h"

namespace corvel::media {
namespace {

struct MovieFacts {
  int streams = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0;
  int height = 0;
  int frames = 0;
  int keyframes = 0;
  int discarded = 0;  // packets the edit list hides from playback
  std::int64_t firstPts = -1;
};

MovieFacts readMovie(const std::filesystem::path& path) {
  MovieFacts facts;
  AVFormatContext* ctx = nullptr;
  if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return facts;
  if (avformat_find_stream_info(ctx, nullptr) >= 0) {
    facts.streams = static_cast<int>(ctx->nb_streams);
    if (ctx->nb_streams > 0) {
      facts.codec = ctx->streams[0]->codecpar->codec_id;
      facts.width = ctx->streams[0]->codecpar->width;
      facts.height = ctx->streams[0]->codecpar->height;
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
      if (facts.firstPts < 0) facts.firstPts = pkt->pts;
      ++facts.frames;
      if (pkt->flags & AV_PKT_FLAG_KEY) ++facts.keyframes;
      if (pkt->flags & AV_PKT_FLAG_DISCARD) ++facts.discarded;
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  avformat_close_input(&ctx);
  return facts;
}

std::vector<VideoSample> samplesOf(const std::vector<VideoPacket>& packets) {
  VideoDepacketizer depacketizer;
  std::vector<VideoSample> samples;
  for (const auto& p : packets) {
    if (auto s = depacketizer.sample(p)) samples.push_back(std::move(*s));
  }
  return samples;
}

class SessionRecorderTest : public ::testing::TestWithParam<VideoCodec> {
 protected:
  corvel::test::TemporaryFolder folder;
};

TEST_P(SessionRecorderTest, CopiesTheStreamFromTheFirstKeyframeOn) {
  testing::RecordingEncoder enc(GetParam());
  enc.encodeFrames(320, 240, 5);
  enc.encodeFrames(160, 120, 2, 5);  // a new size: not followed
  auto samples = samplesOf(enc.packets);
  ASSERT_EQ(samples.size(), 7u);

  const auto path = folder.path() / "nested" / "session.mov";
  SessionRecorder recorder(path);
  recorder.append(samples[1]);  // a delta before any keyframe is not written
  for (const auto& s : samples) recorder.append(s);
  EXPECT_EQ(recorder.samplesSeen(), 2);
  EXPECT_EQ(recorder.samplesWritten(), 5);
  auto written = recorder.finish();
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, path);
  EXPECT_FALSE(recorder.lastError());

  const auto facts = readMovie(path);
  EXPECT_EQ(facts.streams, 1);
  EXPECT_EQ(facts.codec, GetParam() == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
  EXPECT_EQ(facts.width, 320);
  EXPECT_EQ(facts.height, 240);
  EXPECT_EQ(facts.frames, 5);
  EXPECT_GE(facts.keyframes, 1);
  EXPECT_EQ(facts.firstPts, 0);
  EXPECT_EQ(facts.discarded, 0);
}

// A still screen sends one keyframe and nothing more: the movie must still show it.
TEST_P(SessionRecorderTest, OneKeyframeMakesAMovieThatShowsIt) {
  testing::RecordingEncoder enc(GetParam());
  enc.encodeFrames(320, 240, 1);
  auto samples = samplesOf(enc.packets);
  ASSERT_EQ(samples.size(), 1u);
  const auto path = folder.path() / "still.mov";
  SessionRecorder recorder(path);
  recorder.append(samples[0]);
  ASSERT_TRUE(recorder.finish());
  const auto facts = readMovie(path);
  EXPECT_EQ(facts.frames, 1);
  EXPECT_EQ(facts.keyframes, 1);
  EXPECT_EQ(facts.discarded, 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, SessionRecorderTest,
                         ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(wireName(info.param)); });

TEST(SessionRecorder, WithoutAKeyframeLeavesNoFile) {
  corvel::test::TemporaryFolder folder;
  auto samples = samplesOf(testing::encodedClip(VideoCodec::h264));
  const auto path = folder.path() / "empty.mov";
  SessionRecorder recorder(path);
  recorder.append(samples[1]);
  recorder.append(samples[2]);
  EXPECT_EQ(recorder.samplesSeen(), 2);
  EXPECT_FALSE(recorder.finish());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SessionRecorder, ThrowsWhenTheFileCannotBeMade) {
  corvel::test::TemporaryFolder folder;
  std::filesystem::create_directories(folder.path() / "taken.mov");
  try {
    SessionRecorder recorder(folder.path() / "taken.mov");
    FAIL() << "no error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), SessionRecorderError::cannotCreateFile);
  }
}

// Sound goes in beside the picture when its format came before the first keyframe; what comes
// earlier is dropped, and a format that comes later changes nothing.
TEST(SessionRecorder, RecordsTheSoundTrackWhenItsFormatCameFirst) {
  auto encoder = AudioEncoder::create(48000, 2, 128000);
  if (!encoder) GTEST_SKIP() << "built without an AAC encoder";
  const auto pcm = corvel::test::ToneAnalysis::sine(1000, 48000, 2, 480 * 20);
  const auto sound = encoder->encode({48000, 2, pcm});
  ASSERT_EQ(sound.size(), 20u);
  testing::RecordingEncoder video(VideoCodec::h264);
  video.encodeFrames(320, 240, 3);
  const auto samples = samplesOf(video.packets);
  corvel::test::TemporaryFolder folder;

  struct Case {
    const char* name;
    bool formatFirst;
    int streams;
    int audioPackets;
  } cases[] = {{"format first", true, 2, 15}, {"format after the keyframe", false, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = folder.path() / (std::string(c.name) + ".mov");
    SessionRecorder recorder(path);
    if (c.formatFirst) recorder.setAudioFormat(encoder->streamFormat());
    for (int i = 0; i < 5; ++i) recorder.appendAudio(sound[static_cast<std::size_t>(i)]);  // no picture yet
    recorder.append(samples[0]);
    recorder.setAudioFormat(encoder->streamFormat());
    for (std::size_t i = 5; i < sound.size(); ++i) recorder.appendAudio(sound[i]);
    recorder.append(samples[1]);
    recorder.append(samples[2]);
    EXPECT_EQ(recorder.audioPacketsWritten(), c.audioPackets);
    ASSERT_TRUE(recorder.finish());

    AVFormatContext* ctx = nullptr;
    ASSERT_EQ(avformat_open_input(&ctx, path.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(ctx, nullptr), 0);
    ASSERT_EQ(static_cast<int>(ctx->nb_streams), c.streams);
    int audio = 0;
    std::int64_t lastPts = -1;
    bool rising = true;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
      if (ctx->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        ++audio;
        rising = rising && pkt->pts > lastPts;
        lastPts = pkt->pts;
        EXPECT_EQ(ctx->streams[pkt->stream_index]->codecpar->codec_id, AV_CODEC_ID_AAC);
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    EXPECT_EQ(audio, c.audioPackets);
    EXPECT_TRUE(rising);
  }
}

}  // namespace
}  // namespace corvel::media
