#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Ambrel_Host/capture/FrameSize.h"
#include "CorvelKit/media/VideoFrame.h"

namespace ambrel {

// Turns 32-bit BGRX pictures into NV12 frames of a given size (BT.601 limited range), scaling
// when the sizes differ. The frame's planes live in buffers of the converter that are reused
// from one call to the next: a returned frame stays valid until the next call.
class FrameConverter {
 public:
  // `source` is `sourceWidth` × `sourceHeight` pixels, `sourceStride` bytes per row. An unscaled
  // picture is converted straight into the frame; a scaled one goes through one scaled copy.
  // Both output sides must be even and at least 2.
  const corvel::media::VideoFrame& convert(const std::uint8_t* source, std::ptrdiff_t sourceStride,
                                           int sourceWidth, int sourceHeight, FrameSize output);

 private:
  void reserve(FrameSize output);

  std::vector<std::uint8_t> y_;
  std::vector<std::uint8_t> uv_;
  std::vector<std::uint8_t> scaled_;
  FrameSize size_;
  corvel::media::VideoFrame frame_;
};

}  // namespace ambrel
