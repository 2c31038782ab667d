#pragma once

#include <cstddef>
#include <cstdint>

namespace corvel::media {

// One picture in NV12, as capture hands it to the encoder: a full-resolution luma plane and a
// half-resolution plane of interleaved Cb/Cr pairs (ceil(width / 2) pairs per row,
// ceil(height / 2) rows). A view: the planes belong to whoever filled it and need only stay
// valid for the call that receives the frame; nothing here copies or frees them.
struct VideoFrame {
  int width = 0;
  int height = 0;
  const std::uint8_t* y = nullptr;
  std::ptrdiff_t yStride = 0;   // bytes from one luma row to the next
  const std::uint8_t* uv = nullptr;
  std::ptrdiff_t uvStride = 0;  // bytes from one Cb/Cr row to the next

  // Both planes present, a positive size and strides wide enough for a row.
  bool isValid() const {
    return width > 0 && height > 0 && y != nullptr && uv != nullptr && yStride >= width &&
           uvStride >= 2 * ((width + 1) / 2);
  }
};

}  // namespace corvel::media
