#pragma once

#include <cstdint>

namespace ambrel {

// The size of the frames a capturer delivers.
struct FrameSize {
  int width = 0;
  int height = 0;

  // A source of `sourceWidth` × `sourceHeight` pixels capped at `maxWidth`: a wider source is
  // scaled down to `maxWidth` with its aspect ratio kept (height × maxWidth / width, product
  // first, truncated), a narrower one is never scaled up; then both sides are rounded down to an
  // even number, as 4:2:0 video needs. A `maxWidth` of zero or less means "no cap", and no side
  // ends below 2 pixels, so a degenerate cap or source still gives an encodable picture.
  static constexpr FrameSize forCapture(int sourceWidth, int sourceHeight, int maxWidth) {
    std::int64_t w = sourceWidth > 0 ? sourceWidth : 0;
    std::int64_t h = sourceHeight > 0 ? sourceHeight : 0;
    if (maxWidth > 0 && maxWidth < w) {
      h = h * maxWidth / w;
      w = maxWidth;
    }
    w &= ~std::int64_t{1};
    h &= ~std::int64_t{1};
    if (w < 2) w = 2;
    if (h < 2) h = 2;
    return {static_cast<int>(w), static_cast<int>(h)};
  }

  friend constexpr bool operator==(const FrameSize&, const FrameSize&) = default;
};

}  // namespace ambrel
