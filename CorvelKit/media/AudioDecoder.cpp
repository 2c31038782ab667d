#include "CorvelKit/media/AudioDecoder.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#if CORVEL_HAVE_FDK_AAC
#include <fdk-aac/aacdecoder_lib.h>
#endif

namespace corvel::media {

namespace {
[[maybe_unused]] constexpr std::uint32_t minimumFramesPerPacket = 480;
}  // namespace

#if CORVEL_HAVE_FDK_AAC

struct AudioDecoder::Codec {
  HANDLE_AACDECODER handle = nullptr;
  int channels = 0;
  double sampleRate = 0;
  std::vector<INT_PCM> pcm;
  ~Codec() {
    if (handle) aacDecoder_Close(handle);
  }
};

std::unique_ptr<AudioDecoder> AudioDecoder::create(const protocol::AudioStreamFormat& format) {
  // The format comes from the peer: only what this side can play is taken.
  if (!(format.sampleRate >= 8000 && format.sampleRate <= 96000) || format.channels < 1 ||
      format.channels > 8 || format.framesPerPacket < 0 || format.framesPerPacket > 8192) {
    return nullptr;
  }
  // Raw packets carry no configuration of their own: without the cookie nothing can be decoded.
  if (!format.magicCookie || format.magicCookie->empty() || format.magicCookie->size() > 1024) {
    return nullptr;
  }
  auto codec = std::make_unique<Codec>();
  codec->handle = aacDecoder_Open(TT_MP4_RAW, 1);
  if (!codec->handle) return nullptr;
  Bytes cookie = *format.magicCookie;
  UCHAR* config[] = {cookie.data()};
  UINT configSize[] = {static_cast<UINT>(cookie.size())};
  if (aacDecoder_ConfigRaw(codec->handle, config, configSize) != AAC_DEC_OK) return nullptr;
  // Samples as they were encoded: no limiter shaping them, no channel mixing.
  aacDecoder_SetParam(codec->handle, AAC_PCM_LIMITER_ENABLE, 0);
  codec->channels = static_cast<int>(format.channels);
  codec->sampleRate = format.sampleRate;
  const auto frames = std::max(static_cast<std::uint32_t>(format.framesPerPacket), minimumFramesPerPacket);
  return std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(codec), frames));
}

std::optional<PcmBuffer> AudioDecoder::decode(ByteView packet) {
  if (packet.empty() || packet.size() > maxPacketSize) return std::nullopt;
  auto* handle = codec_->handle;
  // One packet in: a packet the library cannot take whole is refused, and nothing of it stays.
  Bytes copy(packet.begin(), packet.end());
  UCHAR* in[] = {copy.data()};
  UINT size[] = {static_cast<UINT>(copy.size())};
  UINT valid = size[0];
  if (aacDecoder_Fill(handle, in, size, &valid) != AAC_DEC_OK || valid != 0) {
    aacDecoder_SetParam(handle, AAC_TPDEC_CLEAR_BUFFER, 1);
    return std::nullopt;
  }
  // Room for the stream's channels, and for as many as the library may claim to decode.
  const std::size_t capacity = static_cast<std::size_t>(capacityFrames()) * 8;
  codec_->pcm.resize(capacity);
  const auto status =
      aacDecoder_DecodeFrame(handle, codec_->pcm.data(), static_cast<INT>(capacity), 0);
  if (status != AAC_DEC_OK) {
    aacDecoder_SetParam(handle, AAC_TPDEC_CLEAR_BUFFER, 1);
    return std::nullopt;
  }
  const CStreamInfo* info = aacDecoder_GetStreamInfo(handle);
  if (!info || info->frameSize <= 0 || info->numChannels <= 0) return std::nullopt;
  const auto frames = static_cast<std::size_t>(info->frameSize);
  const auto channels = static_cast<std::size_t>(info->numChannels);
  if (frames > capacityFrames() || frames * channels > capacity) return std::nullopt;
  PcmBuffer out;
  out.sampleRate = info->sampleRate > 0 ? info->sampleRate : codec_->sampleRate;
  out.channels = static_cast<int>(channels);
  out.samples.resize(frames * channels);
  for (std::size_t i = 0; i < out.samples.size(); ++i) {
    out.samples[i] = static_cast<float>(codec_->pcm[i]) / 32768.0f;
  }
  return out;
}

#else

struct AudioDecoder::Codec {};

std::unique_ptr<AudioDecoder> AudioDecoder::create(const protocol::AudioStreamFormat&) {
  return nullptr;
}
std::optional<PcmBuffer> AudioDecoder::decode(ByteView) { return std::nullopt; }

#endif

AudioDecoder::AudioDecoder(std::unique_ptr<Codec> codec, std::uint32_t framesPerPacket)
    : codec_(std::move(codec)), framesPerPacket_(framesPerPacket) {}

AudioDecoder::~AudioDecoder() = default;

}  // namespace corvel::media
