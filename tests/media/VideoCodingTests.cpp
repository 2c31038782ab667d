#include <gtest/gtest.h>

#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "CorvelKit/media/NalUnits.h"
#include "CorvelKit/media/VideoDepacketizer.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "EncodedClip.h"

namespace corvel::media {
namespace {

using testing::RecordingEncoder;
using testing::SyntheticPicture;

// Feeds packets through the wire format into a receiver and keeps what comes out.
struct Viewer {
  Viewer() {
    receiver.onSizeChange = [this](int w, int h) { sizes.emplace_back(w, h); };
    receiver.onNeedKeyframe = [this] { ++keyframeRequests; };
    receiver.onPicture = [this](const DecodedPicture& p) {
      pictures.push_back({p.width, p.height, p.timestampMicros});
      lastLayout = p.layout;
      if (p.layout == DecodedPicture::Layout::yuv420p && p.planes[0]) {
        lastLuma.assign(p.planes[0], p.planes[0] + static_cast<std::size_t>(p.strides[0]) * p.height);
        lastLumaStride = p.strides[0];
      }
    };
  }
  void receive(const VideoPacket& packet) { receiver.receive(packet.encoded()); }

  struct Picture {
    int width, height;
    std::uint64_t timestamp;
  };
  VideoReceiver receiver;
  std::vector<std::pair<int, int>> sizes;
  std::vector<Picture> pictures;
  int keyframeRequests = 0;
  DecodedPicture::Layout lastLayout = DecodedPicture::Layout::other;
  std::vector<std::uint8_t> lastLuma;
  int lastLumaStride = 0;
};

std::vector<int> parameterSetTypes(const VideoPacket& p) {
  std::vector<int> types;
  for (const auto& set : p.parameterSets) types.push_back(NalUnits::type(p.codec, set));
  return types;
}

class VideoCoding : public ::testing::TestWithParam<VideoCodec> {
 protected:
  VideoCodec codec() const { return GetParam(); }
  std::vector<int> expectedSetTypes() const {
    return codec() == VideoCodec::h264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
  }
};

TEST_P(VideoCoding, EncodesAndDecodesAMovingPicture) {
  RecordingEncoder enc(codec(), 2'000'000);
  SyntheticPicture picture(320, 240);
  Viewer viewer;
  for (int i = 0; i < 8; ++i) {
    picture.draw(i);
    enc.encoder.encode(picture.frame(), std::chrono::microseconds(1'000'000 + i * 33'333));
    // One frame in, one packet out.
    ASSERT_EQ(enc.packets.size(), static_cast<std::size_t>(i + 1));
    viewer.receive(enc.packets.back());
  }
  EXPECT_EQ(enc.encoder.encoderName(), codec() == VideoCodec::h264 ? "libx264" : "libx265");

  const auto& first = enc.packets.front();
  EXPECT_TRUE(first.isKeyframe);
  EXPECT_EQ(parameterSetTypes(first), expectedSetTypes());
  for (std::size_t i = 0; i < enc.packets.size(); ++i) {
    const auto& p = enc.packets[i];
    EXPECT_EQ(p.codec, codec());
    EXPECT_EQ(p.timestampMicros, 1'000'000u + i * 33'333u);
    auto units = NalUnits::splitLengthPrefixed(p.avcc);
    ASSERT_TRUE(units) << "packet " << i;
    for (auto unit : *units) EXPECT_FALSE(NalUnits::isParameterSet(codec(), NalUnits::type(codec(), unit)));
    if (i > 0) {
      EXPECT_FALSE(p.isKeyframe) << "packet " << i;
      EXPECT_TRUE(p.parameterSets.empty());
    }
  }

  EXPECT_EQ(viewer.keyframeRequests, 0);
  EXPECT_EQ(viewer.sizes, (std::vector<std::pair<int, int>>{{320, 240}}));
  ASSERT_EQ(viewer.pictures.size(), 8u);
  EXPECT_EQ(viewer.pictures.back().width, 320);
  EXPECT_EQ(viewer.pictures.back().height, 240);
  EXPECT_EQ(viewer.pictures.back().timestamp, 1'000'000u + 7 * 33'333u);
  EXPECT_EQ(viewer.receiver.takeFrameCount(), 8);
  EXPECT_EQ(viewer.receiver.takeFrameCount(), 0);

  // The decoded picture is the one that went in (lossy, so only close to it).
  ASSERT_EQ(viewer.lastLayout, DecodedPicture::Layout::yuv420p);
  const VideoFrame source = picture.frame();
  long long difference = 0;
  for (int row = 0; row < 240; ++row) {
    for (int x = 0; x < 320; ++x) {
      difference += std::abs(int{source.y[row * source.yStride + x]} -
                             int{viewer.lastLuma[static_cast<std::size_t>(row * viewer.lastLumaStride + x)]});
    }
  }
  EXPECT_LT(static_cast<double>(difference) / (320 * 240), 4.0);
}

TEST_P(VideoCoding, MakesKeyframesOnDemandAndAtLeastEveryTenSeconds) {
  RecordingEncoder enc(codec());
  enc.encoder.requestKeyframe();  // before the first frame: harmless
  enc.encodeFrames(320, 240, 3);
  enc.encoder.requestKeyframe();
  enc.encodeFrames(320, 240, 2, 3);
  ASSERT_EQ(enc.packets.size(), 5u);
  const bool expected[] = {true, false, false, true, false};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(enc.packets[i].isKeyframe, expected[i]) << "packet " << i;
    EXPECT_EQ(enc.packets[i].parameterSets.empty(), !expected[i]) << "packet " << i;
  }
  EXPECT_EQ(parameterSetTypes(enc.packets[3]), expectedSetTypes());

  // A static screen sends a frame a second: the keyframe still comes within ten seconds.
  RecordingEncoder slow(codec());
  SyntheticPicture picture(320, 240);
  for (int second = 0; second <= 12; ++second) {
    picture.draw(second);
    slow.encoder.encode(picture.frame(), std::chrono::seconds(second));
  }
  ASSERT_EQ(slow.packets.size(), 13u);
  std::vector<std::uint64_t> keyframes;
  for (const auto& p : slow.packets) {
    if (p.isKeyframe) keyframes.push_back(p.timestampMicros);
  }
  EXPECT_EQ(keyframes, (std::vector<std::uint64_t>{0, 10'000'000}));
}

TEST_P(VideoCoding, RebuildsWithAKeyframeWhenTheSizeChanges) {
  RecordingEncoder enc(codec());
  Viewer viewer;
  enc.encodeFrames(320, 240, 3);
  enc.encodeFrames(160, 120, 3, 3);
  // An odd size loses its last row and column.
  enc.encodeFrames(161, 121, 1, 6);
  ASSERT_EQ(enc.packets.size(), 7u);
  EXPECT_EQ(enc.encoder.sessionsBuilt(), 2);
  EXPECT_EQ(enc.encoder.sessionWidth(), 160);
  EXPECT_EQ(enc.encoder.sessionHeight(), 120);
  EXPECT_TRUE(enc.packets[3].isKeyframe);
  EXPECT_EQ(parameterSetTypes(enc.packets[3]), expectedSetTypes());

  for (const auto& p : enc.packets) viewer.receive(p);
  EXPECT_EQ(viewer.keyframeRequests, 0);
  EXPECT_EQ(viewer.sizes, (std::vector<std::pair<int, int>>{{320, 240}, {160, 120}}));
  ASSERT_EQ(viewer.pictures.size(), 7u);
  EXPECT_EQ(viewer.pictures[2].width, 320);
  EXPECT_EQ(viewer.pictures[3].width, 160);
  EXPECT_EQ(viewer.pictures[6].height, 120);
}

TEST_P(VideoCoding, AViewerThatJoinsMidStreamAsksForAKeyframe) {
  auto clip = testing::encodedClip(codec());
  Viewer viewer;
  viewer.receive(clip[1]);
  viewer.receive(clip[2]);
  EXPECT_EQ(viewer.keyframeRequests, 2);
  EXPECT_TRUE(viewer.pictures.empty());
  EXPECT_TRUE(viewer.sizes.empty());

  viewer.receive(clip[0]);
  viewer.receive(clip[1]);
  EXPECT_EQ(viewer.keyframeRequests, 2);
  EXPECT_EQ(viewer.pictures.size(), 2u);
  EXPECT_EQ(viewer.sizes.size(), 1u);

  // Garbage is ignored without a word.
  viewer.receiver.receive(Bytes{1, 2, 3});
  EXPECT_EQ(viewer.keyframeRequests, 2);

  // After stop the callbacks are gone and the count starts over.
  viewer.receiver.stop();
  viewer.receive(clip[3]);
  EXPECT_EQ(viewer.keyframeRequests, 2);
  EXPECT_EQ(viewer.receiver.takeFrameCount(), 0);
}

TEST_P(VideoCoding, ClampsTimestampsBeforeZeroAndStoresHDRWithoutUsingIt) {
  RecordingEncoder enc(codec(), 12'000'000);
  enc.encoder.configure(12'000'000, 60, std::nullopt, true);
  SyntheticPicture picture(320, 240);
  picture.draw(0);
  enc.encoder.encode(picture.frame(), std::chrono::microseconds(-5'000));
  ASSERT_EQ(enc.packets.size(), 1u);
  EXPECT_EQ(enc.packets[0].timestampMicros, 0u);
  EXPECT_TRUE(enc.encoder.hdr());
  EXPECT_EQ(enc.encoder.codec(), codec());
  EXPECT_EQ(enc.encoder.bitrate(), 12'000'000);

  Viewer viewer;
  viewer.receive(enc.packets[0]);
  // Eight-bit 4:2:0, not a 10-bit HDR stream.
  EXPECT_EQ(viewer.lastLayout, DecodedPicture::Layout::yuv420p);
}

// The capture converts with the BT.601 matrix; a stream labelled otherwise shows shifted colours
// in decoders that follow the label (browsers do).
TEST_P(VideoCoding, LabelsTheColourMatrixTheCaptureUses) {
  RecordingEncoder enc(codec());
  enc.encodeFrames(320, 240, 1);
  VideoDepacketizer depacketizer;
  auto sample = depacketizer.sample(enc.packets.front());
  ASSERT_TRUE(sample);
  const Bytes stream = sample->annexB();

  const AVCodec* decoder = avcodec_find_decoder(codec() == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  ASSERT_GE(avcodec_open2(context, decoder, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  ASSERT_GE(av_new_packet(packet, static_cast<int>(stream.size())), 0);
  std::copy(stream.begin(), stream.end(), packet->data);
  ASSERT_GE(avcodec_send_packet(context, packet), 0);
  ASSERT_GE(avcodec_send_packet(context, nullptr), 0);  // drain
  ASSERT_GE(avcodec_receive_frame(context, frame), 0);
  EXPECT_EQ(frame->colorspace, AVCOL_SPC_SMPTE170M);
  EXPECT_EQ(frame->color_range, AVCOL_RANGE_MPEG);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoCoding, ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(wireName(info.param)); });

std::size_t totalSize(const std::vector<VideoPacket>& packets, std::size_t from, std::size_t to) {
  std::size_t total = 0;
  for (std::size_t i = from; i < to; ++i) total += packets[i].avcc.size();
  return total;
}

TEST(VideoEncoderBitrate, H264TakesANewRateWithoutANewSession) {
  RecordingEncoder enc(VideoCodec::h264, 4'000'000);
  enc.encodeFrames(320, 240, 20, 0, true);
  enc.encoder.setBitrate(150'000);
  enc.encodeFrames(320, 240, 30, 20, true);
  ASSERT_EQ(enc.packets.size(), 50u);
  EXPECT_EQ(enc.encoder.sessionsBuilt(), 1);
  EXPECT_EQ(enc.encoder.bitrate(), 150'000);
  for (std::size_t i = 1; i < enc.packets.size(); ++i) EXPECT_FALSE(enc.packets[i].isKeyframe) << i;
  // The last ten frames are far smaller than ten frames at the old rate.
  EXPECT_LT(totalSize(enc.packets, 40, 50) * 4, totalSize(enc.packets, 10, 20));
}

TEST(VideoEncoderBitrate, HEVCStartsANewSessionForANewRate) {
  // libx265 cannot change its rate in flight here: the change costs a keyframe, not the rate.
  RecordingEncoder enc(VideoCodec::hevc);
  enc.encodeFrames(320, 240, 2);
  enc.encoder.setBitrate(300'000);
  enc.encodeFrames(320, 240, 1, 2);
  ASSERT_EQ(enc.packets.size(), 3u);
  EXPECT_EQ(enc.encoder.sessionsBuilt(), 2);
  EXPECT_TRUE(enc.packets[2].isKeyframe);
  EXPECT_EQ(enc.encoder.bitrate(), 300'000);
}

TEST(VideoEncoderBitrate, ConfigureStartsANewSessionWithAKeyframe) {
  RecordingEncoder enc(VideoCodec::h264);
  enc.encodeFrames(320, 240, 2);
  enc.encoder.configure(500'000, 60, std::nullopt, std::nullopt);
  enc.encodeFrames(320, 240, 1, 2);
  enc.encoder.configure(500'000, 60, VideoCodec::hevc, std::nullopt);
  enc.encodeFrames(320, 240, 1, 3);
  ASSERT_EQ(enc.packets.size(), 4u);
  EXPECT_EQ(enc.encoder.sessionsBuilt(), 3);
  EXPECT_TRUE(enc.packets[2].isKeyframe);
  EXPECT_EQ(enc.packets[2].codec, VideoCodec::h264);
  EXPECT_TRUE(enc.packets[3].isKeyframe);
  EXPECT_EQ(enc.packets[3].codec, VideoCodec::hevc);
  EXPECT_EQ(enc.encoder.fps(), 60);
}

TEST(VideoEncoderHardware, ADeviceThatDoesNotOpenFallsBackToSoftware) {
  // The encoder looks for no device itself: it tries the render node its options name.
  AvcodecVideoEncoder encoder(1'000'000, 30,
                              {.hardware = {.vaapiDevice = "/nonexistent/dri/renderD999"}});
  std::vector<VideoPacket> packets;
  encoder.setOnPacket([&](VideoPacket p) { packets.push_back(std::move(p)); });
  SyntheticPicture picture(320, 240);
  for (int i = 0; i < 3; ++i) {
    picture.draw(i);
    encoder.encode(picture.frame(), std::chrono::microseconds(i * 33'333));
  }
  encoder.configure(1'000'000, 30, std::nullopt, std::nullopt);
  picture.draw(3);
  encoder.encode(picture.frame(), std::chrono::microseconds(100'000));
  EXPECT_EQ(encoder.encoderName(), "libx264");
  EXPECT_EQ(encoder.sessionsBuilt(), 2);
  EXPECT_EQ(packets.size(), 4u);
}

TEST(VideoEncoderInput, DropsFramesThatDoNotDescribeAPicture) {
  RecordingEncoder enc(VideoCodec::h264);
  SyntheticPicture picture(64, 64);
  picture.draw(0);
  VideoFrame frame = picture.frame();
  VideoFrame noChroma = frame;
  noChroma.uv = nullptr;
  VideoFrame narrowStride = frame;
  narrowStride.yStride = 10;
  VideoFrame tiny = frame;
  tiny.width = 1;
  for (const VideoFrame& bad : {VideoFrame{}, noChroma, narrowStride, tiny}) {
    enc.encoder.encode(bad, std::chrono::microseconds(0));
  }
  EXPECT_TRUE(enc.packets.empty());
  EXPECT_EQ(enc.encoder.sessionsBuilt(), 0);
  enc.encoder.encode(frame, std::chrono::microseconds(0));
  EXPECT_EQ(enc.packets.size(), 1u);
}

}  // namespace
}  // namespace corvel::media
