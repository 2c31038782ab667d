#include "CorvelKit/media/AudioEncoder.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "CorvelKit/base/Log.h"

#if CORVEL_HAVE_FDK_AAC
#include <fdk-aac/aacenc_lib.h>
#endif

namespace corvel::media {

namespace {
[[maybe_unused]] auto& log() { return Log::core("video"); }
}  // namespace

#if CORVEL_HAVE_FDK_AAC

struct AudioEncoder::Codec {
  HANDLE_AACENCODER handle = nullptr;
  int channels = 0;
  std::vector<INT_PCM> pcm;  // converted input not yet taken by the library
  ~Codec() {
    if (handle) aacEncClose(&handle);
  }
};

std::unique_ptr<AudioEncoder> AudioEncoder::create(double sampleRate, int channels, int bitrate) {
  if (channels < 1 || channels > 2 || sampleRate < 8000 || sampleRate > 96000 || bitrate <= 0) {
    return nullptr;
  }
  auto codec = std::make_unique<Codec>();
  codec->channels = channels;
  if (aacEncOpen(&codec->handle, 0, static_cast<UINT>(channels)) != AACENC_OK) {
    log().warn("no AAC-ELD encoder: the library would not open one");
    codec->handle = nullptr;
    return nullptr;
  }
  const std::pair<AACENC_PARAM, UINT> settings[] = {
      {AACENC_AOT, AOT_ER_AAC_ELD},
      {AACENC_SBR_MODE, 0},  // plain ELD: the full band is coded, no SBR delay
      {AACENC_SAMPLERATE, static_cast<UINT>(std::lround(sampleRate))},
      {AACENC_CHANNELMODE, channels == 1 ? MODE_1 : MODE_2},
      {AACENC_CHANNELORDER, 1},
      {AACENC_GRANULE_LENGTH, static_cast<UINT>(framesPerPacket)},
      {AACENC_BITRATEMODE, 0},
      {AACENC_BITRATE, static_cast<UINT>(bitrate)},
      {AACENC_TRANSMUX, TT_MP4_RAW},
      {AACENC_AFTERBURNER, 1},
  };
  for (auto [param, value] : settings) {
    if (aacEncoder_SetParam(codec->handle, param, value) != AACENC_OK) {
      log().warn("no AAC-ELD encoder: parameter {:#x} = {} refused", static_cast<unsigned>(param),
                 value);
      return nullptr;
    }
  }
  AACENC_InfoStruct info{};
  if (aacEncEncode(codec->handle, nullptr, nullptr, nullptr, nullptr) != AACENC_OK ||
      aacEncInfo(codec->handle, &info) != AACENC_OK) {
    log().warn("no AAC-ELD encoder: the library would not start one");
    return nullptr;
  }
  protocol::AudioStreamFormat format;
  format.sampleRate = sampleRate;
  format.channels = channels;
  format.framesPerPacket = info.frameLength;
  if (info.confSize > 0) format.magicCookie = Bytes(info.confBuf, info.confBuf + info.confSize);
  return std::unique_ptr<AudioEncoder>(new AudioEncoder(std::move(codec), std::move(format)));
}

bool AudioEncoder::available() { return true; }

std::vector<Bytes> AudioEncoder::encode(const PcmView& pcm) {
  std::vector<Bytes> packets;
  if (!acceptsInput(pcm)) return packets;
  auto& buffer = codec_->pcm;
  buffer.reserve(buffer.size() + pcm.samples.size());
  for (float s : pcm.samples) {
    // NaN becomes silence rather than whatever the conversion would make of it.
    const float clamped = std::isnan(s) ? 0.0f : std::clamp(s, -1.0f, 1.0f);
    buffer.push_back(static_cast<INT_PCM>(std::lround(clamped * 32767.0f)));
  }
  // One packet per whole frame of input: the library takes a frame's worth at a time.
  const std::size_t perPacket =
      static_cast<std::size_t>(streamFormat_.framesPerPacket) * static_cast<std::size_t>(codec_->channels);
  std::size_t offset = 0;
  std::uint8_t out[8192];
  while (buffer.size() - offset >= perPacket) {
    void* inPtr = buffer.data() + offset;
    INT inId = IN_AUDIO_DATA;
    INT inSize = static_cast<INT>(perPacket * sizeof(INT_PCM));
    INT inElementSize = sizeof(INT_PCM);
    AACENC_BufDesc inDesc{1, &inPtr, &inId, &inSize, &inElementSize};
    void* outPtr = out;
    INT outId = OUT_BITSTREAM_DATA;
    INT outSize = sizeof(out);
    INT outElementSize = 1;
    AACENC_BufDesc outDesc{1, &outPtr, &outId, &outSize, &outElementSize};
    AACENC_InArgs inArgs{static_cast<INT>(perPacket), 0};
    AACENC_OutArgs outArgs{};
    const auto status = aacEncEncode(codec_->handle, &inDesc, &outDesc, &inArgs, &outArgs);
    if (status != AACENC_OK || outArgs.numInSamples <= 0) {
      if (status != AACENC_OK) log().debug("AAC-ELD encoding failed ({:#x})", static_cast<unsigned>(status));
      buffer.clear();
      return packets;
    }
    offset += static_cast<std::size_t>(outArgs.numInSamples);
    if (outArgs.numOutBytes > 0) packets.emplace_back(out, out + outArgs.numOutBytes);
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
  return packets;
}

#else

struct AudioEncoder::Codec {};

std::unique_ptr<AudioEncoder> AudioEncoder::create(double, int, int) { return nullptr; }
bool AudioEncoder::available() { return false; }
std::vector<Bytes> AudioEncoder::encode(const PcmView&) { return {}; }

#endif

AudioEncoder::AudioEncoder(std::unique_ptr<Codec> codec, protocol::AudioStreamFormat format)
    : codec_(std::move(codec)), streamFormat_(std::move(format)) {}

AudioEncoder::~AudioEncoder() = default;

bool AudioEncoder::acceptsInput(const PcmView& pcm) const {
  return pcm.sampleRate == streamFormat_.sampleRate && pcm.channels == streamFormat_.channels &&
         pcm.samples.size() % static_cast<std::size_t>(pcm.channels) == 0;
}

}  // namespace corvel::media
