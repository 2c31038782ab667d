// Feeds a host's audio stream description and packets, both as a peer may send them, to the
// audio decoder. The first byte picks the codec configuration: the host's own (so packets reach
// the frame decoder) or one taken from the input.
//
// Input: [mode] [cookie length, cookie when mode is odd] then packets, each [length hi, lo] bytes.
#include <cstddef>
#include <cstdint>

#include "CorvelKit/media/AudioDecoder.h"

using namespace corvel;
using namespace corvel::media;

namespace {
// The configuration the host's encoder announces: AAC-ELD, 48 kHz, two channels, 480 frames.
const Bytes hostCookie = {0xF8, 0xE6, 0x50, 0x00};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const ByteView input(data, size);
  std::size_t at = 1;
  protocol::AudioStreamFormat format{48000, 2, 480, hostCookie};
  if (input[0] & 1) {
    if (at >= size) return 0;
    const std::size_t length = input[at++];
    if (at + length > size) return 0;
    format.magicCookie = Bytes(input.begin() + static_cast<std::ptrdiff_t>(at),
                               input.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    format.framesPerPacket = (input[0] >> 1) * 16;
    format.channels = 1 + ((input[0] >> 5) & 1);
  }
  auto decoder = AudioDecoder::create(format);
  if (!decoder) return 0;
  while (at + 2 <= size) {
    const std::size_t length = (std::size_t{input[at]} << 8) | input[at + 1];
    at += 2;
    const auto packet = input.subspan(at, std::min(length, size - at));
    at += packet.size();
    if (auto pcm = decoder->decode(packet)) {
      // Never more than the decoder said it would hand out.
      if (pcm->frames() > decoder->capacityFrames()) __builtin_trap();
    }
  }
  return 0;
}
