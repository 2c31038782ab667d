#pragma once

#include <array>
#include <cstdint>

namespace corvel::media {

// A decoded picture as the receiver hands it out. A view: the planes stay valid only during the
// callback that receives it; copy what must outlive it.
struct DecodedPicture {
  enum class Layout {
    yuv420p,  // three planes: Y, Cb, Cr (chroma at half width and height)
    nv12,     // two planes: Y, interleaved CbCr
    other,    // a layout the viewer must convert itself; planes as the decoder left them
  };

  int width = 0;
  int height = 0;
  Layout layout = Layout::other;
  std::array<const std::uint8_t*, 3> planes{};
  std::array<int, 3> strides{};
  std::uint64_t timestampMicros = 0;
};

}  // namespace corvel::media
