#pragma once

#include <memory>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/PcmBuffer.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"

namespace corvel::media {

// Compresses PCM to AAC-ELD (MPEG-4 AAC Enhanced Low Delay) in packets of 480 frames, one
// packet a byte string. The stream's format, codec configuration included, is fixed when the
// encoder is made.
//
// Threads: one owner at a time; nothing inside is shared.
class AudioEncoder {
 public:
  static constexpr int framesPerPacket = 480;

  // Nothing when this build has no AAC encoder or the library refuses the parameters.
  static std::unique_ptr<AudioEncoder> create(double sampleRate, int channels, int bitrate);
  // Whether this build can encode at all.
  static bool available();

  ~AudioEncoder();
  AudioEncoder(const AudioEncoder&) = delete;
  AudioEncoder& operator=(const AudioEncoder&) = delete;

  // Sample rate, channels, frames per packet and the AudioSpecificConfig as `magicCookie`.
  const protocol::AudioStreamFormat& streamFormat() const { return streamFormat_; }
  // What `encode` accepts: interleaved float at the stream's rate and channel count.
  bool acceptsInput(const PcmView& pcm) const;

  // Every packet completed by this input, in order; possibly none. Input of another format
  // gives nothing. Samples short of a packet wait for the next call.
  std::vector<Bytes> encode(const PcmView& pcm);

 private:
  struct Codec;
  AudioEncoder(std::unique_ptr<Codec> codec, protocol::AudioStreamFormat format);

  std::unique_ptr<Codec> codec_;
  protocol::AudioStreamFormat streamFormat_;
};

}  // namespace corvel::media
