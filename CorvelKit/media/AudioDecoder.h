#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/PcmBuffer.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"

namespace corvel::media {

// Turns the AAC-ELD packets of one received audio stream back into PCM. The packets and the
// format come from the peer: anything malformed yields no audio, never more.
//
// Threads: one owner at a time.
class AudioDecoder {
 public:
  // Larger packets are refused unread: an AAC frame of two channels stays far below this.
  static constexpr std::size_t maxPacketSize = 8192;

  // Nothing when this build has no AAC decoder or the format cannot be decoded (no codec
  // configuration, or one the library refuses).
  static std::unique_ptr<AudioDecoder> create(const protocol::AudioStreamFormat& format);

  ~AudioDecoder();
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  // Frames one decoded packet may hold at most: twice the stream's frames per packet, and never
  // less than twice 480.
  std::uint32_t capacityFrames() const { return 2 * framesPerPacket_; }

  // The PCM of one packet (interleaved float); nothing for an empty, oversized or undecodable
  // packet, or one that decodes to no frames.
  std::optional<PcmBuffer> decode(ByteView packet);

 private:
  struct Codec;
  AudioDecoder(std::unique_ptr<Codec> codec, std::uint32_t framesPerPacket);

  std::unique_ptr<Codec> codec_;
  std::uint32_t framesPerPacket_;
};

}  // namespace corvel::media
