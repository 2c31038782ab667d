#include <gtest/gtest.h>

#include <random>

#include "CorvelKit/media/AudioDecoder.h"
#include "CorvelKit/media/AudioEncoder.h"
#include "tests/support/ToneAnalysis.h"

namespace corvel::media {
namespace {

using corvel::test::ToneAnalysis;

constexpr double rate = 48000;

std::unique_ptr<AudioEncoder> hostEncoder() { return AudioEncoder::create(rate, 2, 128000); }

#define SKIP_WITHOUT_AAC()                                                     \
  if (!AudioEncoder::available()) GTEST_SKIP() << "built without an AAC encoder"

// Encodes `pcm` in uneven pieces, as a sound server hands it over, and decodes every packet.
struct RoundTrip {
  std::vector<Bytes> packets;
  std::vector<float> decoded;  // interleaved
  int decodedChannels = 0;
  std::size_t undecoded = 0;
};

RoundTrip roundTrip(AudioEncoder& encoder, const std::vector<float>& pcm, std::size_t pieceFrames) {
  RoundTrip out;
  auto decoder = AudioDecoder::create(encoder.streamFormat());
  EXPECT_NE(decoder, nullptr);
  if (!decoder) return out;
  const std::size_t piece = pieceFrames * 2;
  for (std::size_t at = 0; at < pcm.size(); at += piece) {
    const auto n = std::min(piece, pcm.size() - at);
    for (auto& packet : encoder.encode({rate, 2, std::span(pcm).subspan(at, n)})) {
      auto buffer = decoder->decode(packet);
      if (!buffer) {
        ++out.undecoded;
      } else {
        EXPECT_EQ(buffer->frames(), 480u);
        out.decodedChannels = buffer->channels;
        out.decoded.insert(out.decoded.end(), buffer->samples.begin(), buffer->samples.end());
      }
      out.packets.push_back(std::move(packet));
    }
  }
  return out;
}

TEST(AudioCoding, HostEncoderDescribesItsStream) {
  SKIP_WITHOUT_AAC();
  auto encoder = hostEncoder();
  ASSERT_NE(encoder, nullptr);
  const auto& format = encoder->streamFormat();
  EXPECT_EQ(format.sampleRate, 48000);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.framesPerPacket, 480);
  // The AudioSpecificConfig: object type 39 (ER AAC ELD) in its first five bits.
  ASSERT_TRUE(format.magicCookie.has_value());
  ASSERT_GE(format.magicCookie->size(), 2u);
  EXPECT_EQ((*format.magicCookie)[0] >> 3, 31);  // escape: the type follows in six bits
  const int objectType = 32 + ((((*format.magicCookie)[0] & 0x07) << 3) | ((*format.magicCookie)[1] >> 5));
  EXPECT_EQ(objectType, 39);
}

TEST(AudioCoding, ToneSurvivesEncodingAndDecodingInUnevenPieces) {
  SKIP_WITHOUT_AAC();
  auto encoder = hostEncoder();
  ASSERT_NE(encoder, nullptr);
  // One second of a 1 kHz tone, in pieces that never line up with a packet.
  const auto pcm = ToneAnalysis::sine(1000, rate, 2, 48000);
  const auto result = roundTrip(*encoder, pcm, 441);
  // Every whole packet of input comes out, one per 480 frames, and each decodes to 480 frames.
  EXPECT_EQ(result.packets.size(), 48000u / 480u);
  EXPECT_EQ(result.undecoded, 0u);
  EXPECT_EQ(result.decodedChannels, 2);
  for (const auto& p : result.packets) {
    EXPECT_GT(p.size(), 0u);
    EXPECT_LT(p.size(), 1000u);  // 128 kbit/s: about 160 bytes a packet
  }
  const auto left = ToneAnalysis::firstChannel(result.decoded, 2);
  ASSERT_GT(left.size(), 16384u + 4800u);
  // Past the codec's start-up delay.
  auto tail = std::span(left).subspan(4800);
  auto frequency = ToneAnalysis::dominantFrequency(tail, rate);
  ASSERT_TRUE(frequency.has_value());
  EXPECT_NEAR(*frequency, 1000, 10);
  EXPECT_NEAR(ToneAnalysis::rms(tail), 0.5 / std::sqrt(2.0), 0.05);
}

TEST(AudioCoding, InputOfAnotherFormatIsDroppedNotResampled) {
  SKIP_WITHOUT_AAC();
  auto encoder = hostEncoder();
  ASSERT_NE(encoder, nullptr);
  const auto stereo44 = ToneAnalysis::sine(1000, 44100, 2, 4410);
  const auto mono48 = ToneAnalysis::sine(1000, rate, 1, 4800);
  const std::vector<float> ragged(961, 0.1f);  // not a whole number of stereo frames
  struct Case {
    const char* name;
    PcmView pcm;
  } cases[] = {
      {"44.1 kHz", {44100, 2, stereo44}},
      {"mono", {rate, 1, mono48}},
      {"half a frame", {rate, 2, ragged}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(encoder->acceptsInput(c.pcm));
    EXPECT_TRUE(encoder->encode(c.pcm).empty());
  }
  // Nothing of the refused input lingers: the next good packet's worth gives exactly one packet.
  const auto good = ToneAnalysis::sine(1000, rate, 2, 480);
  EXPECT_EQ(encoder->encode({rate, 2, good}).size(), 1u);
}

TEST(AudioCoding, DecoderFormatsItRefusesOrSizes) {
  SKIP_WITHOUT_AAC();
  auto encoder = hostEncoder();
  ASSERT_NE(encoder, nullptr);
  const auto good = encoder->streamFormat();

  auto noCookie = good;
  noCookie.magicCookie.reset();
  auto emptyCookie = good;
  emptyCookie.magicCookie = Bytes{};
  auto junkCookie = good;
  junkCookie.magicCookie = Bytes{0xFF, 0xFF, 0xFF, 0xFF};
  auto noChannels = good;
  noChannels.channels = 0;
  auto sillyRate = good;
  sillyRate.sampleRate = -48000;
  // A peer's packet size would otherwise size the output buffer: terabytes.
  auto hugePackets = good;
  hugePackets.framesPerPacket = std::int64_t{1} << 40;
  for (const auto* format : {&noCookie, &emptyCookie, &junkCookie, &noChannels, &sillyRate, &hugePackets}) {
    EXPECT_EQ(AudioDecoder::create(*format), nullptr);
  }

  // Output room is twice the stream's packet, and never less than twice 480 frames.
  auto small = good;
  small.framesPerPacket = 256;
  auto large = good;
  large.framesPerPacket = 1024;
  EXPECT_EQ(AudioDecoder::create(small)->capacityFrames(), 960u);
  EXPECT_EQ(AudioDecoder::create(good)->capacityFrames(), 960u);
  EXPECT_EQ(AudioDecoder::create(large)->capacityFrames(), 2048u);
}

TEST(AudioCoding, MalformedPacketsGiveNothingAndTheStreamGoesOn) {
  SKIP_WITHOUT_AAC();
  auto encoder = hostEncoder();
  ASSERT_NE(encoder, nullptr);
  auto decoder = AudioDecoder::create(encoder->streamFormat());
  ASSERT_NE(decoder, nullptr);
  const auto pcm = ToneAnalysis::sine(1000, rate, 2, 4800);
  auto packets = encoder->encode({rate, 2, pcm});
  ASSERT_EQ(packets.size(), 10u);

  std::mt19937 random(7);
  Bytes noise(200);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  Bytes truncated(packets[3].begin(), packets[3].begin() + 3);
  const Bytes oversized(AudioDecoder::maxPacketSize + 1, 0x5A);
  EXPECT_FALSE(decoder->decode({}).has_value());
  EXPECT_FALSE(decoder->decode(oversized).has_value());
  // Noise or a cut packet may be concealed as sound or refused, but never more than a packet.
  for (const Bytes* bad : {&noise, &truncated}) {
    if (auto out = decoder->decode(*bad)) EXPECT_LE(out->frames(), decoder->capacityFrames());
  }
  for (const auto& p : packets) {
    auto out = decoder->decode(p);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->frames(), 480u);
  }
}

}  // namespace
}  // namespace corvel::media
