// Feeds arbitrary bytes to the video packet parser and, through a depacketizer that already knows
// a stream, to the NAL unit and parameter set readers.
#include <cstddef>
#include <cstdint>

#include "CorvelKit/media/NalUnits.h"
#include "CorvelKit/media/SequenceParameterSet.h"
#include "CorvelKit/media/VideoDepacketizer.h"
#include "CorvelKit/media/VideoPacket.h"

using namespace corvel;
using namespace corvel::media;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  auto packet = VideoPacket::parse(bytes);
  if (packet) {
    // What parses writes back to the same bytes (unknown flag bits aside).
    if (packet->isEncodable()) {
      Bytes again = packet->encoded();
      if (again.size() != size) __builtin_trap();
    }
    VideoDepacketizer depacketizer;
    VideoPacket copy = *packet;
    if (auto sample = depacketizer.sample(std::move(copy))) (void)sample->annexB();
    for (const auto& set : packet->parameterSets) {
      (void)SequenceParameterSet::parse(VideoCodec::h264, set);
      (void)SequenceParameterSet::parse(VideoCodec::hevc, set);
    }
  }
  (void)NalUnits::splitLengthPrefixed(bytes);
  (void)NalUnits::splitAnnexB(bytes);
  (void)SequenceParameterSet::parse(VideoCodec::h264, bytes);
  (void)SequenceParameterSet::parse(VideoCodec::hevc, bytes);
  return 0;
}
