#pragma once

#include <cstdint>
#include <memory>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoFormat.h"

namespace corvel::media {

// One compressed frame ready for a decoder or a recorder: its NAL units (4-byte length
// prefixes, checked to be well formed) and the format of the stream it belongs to.
struct VideoSample {
  std::shared_ptr<const VideoFormat> format;
  Bytes data;
  std::uint64_t timestampMicros = 0;
  bool isKeyframe = false;

  // The frame as an Annex B byte stream, led by the stream's parameter sets on a keyframe.
  // Parameter sets inside the data are left out: only the format's own are used.
  Bytes annexB() const;
};

}  // namespace corvel::media
