#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
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
  //
  // When only the source rows [`firstRow`, `endRow`) differ from the previous call's picture of
  // the same size, only they are converted (widened to whole pairs of rows, as 4:2:0 needs) and
  // the frame keeps the rest from that call. A scaled picture, another size or the first call
  // converts everything.
  const corvel::media::VideoFrame& convert(const std::uint8_t* source, std::ptrdiff_t sourceStride,
                                           int sourceWidth, int sourceHeight, FrameSize output,
                                           int firstRow = 0,
                                           int endRow = std::numeric_limits<int>::max());

 private:
  void reserve(FrameSize output);

  std::vector<std::uint8_t> y_;
  std::vector<std::uint8_t> uv_;
  std::vector<std::uint8_t> scaled_;
  FrameSize size_;
  // The source size of the picture the planes hold; 0 × 0 before the first one.
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  corvel::media::VideoFrame frame_;
};

}  // namespace ambrel
