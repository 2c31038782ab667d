#include "Ambrel_Host/capture/CursorBlend.h"

#include <algorithm>

namespace ambrel {

void blendCursor(std::uint8_t* bgrx, std::ptrdiff_t stride, int width, int height,
                 const std::uint32_t* cursor, int cursorWidth, int cursorHeight, int left, int top) {
  if (bgrx == nullptr || cursor == nullptr || width <= 0 || height <= 0 || cursorWidth <= 0 ||
      cursorHeight <= 0) {
    return;
  }
  // The overlap, in the cursor's own coordinates; 64-bit so that far-away positions can't wrap.
  const std::int64_t x0 = std::max<std::int64_t>(0, -std::int64_t{left});
  const std::int64_t y0 = std::max<std::int64_t>(0, -std::int64_t{top});
  const std::int64_t x1 = std::min<std::int64_t>(cursorWidth, std::int64_t{width} - left);
  const std::int64_t y1 = std::min<std::int64_t>(cursorHeight, std::int64_t{height} - top);
  for (std::int64_t cy = y0; cy < y1; ++cy) {
    const std::uint32_t* src = cursor + cy * cursorWidth;
    std::uint8_t* row = bgrx + (top + cy) * stride;
    for (std::int64_t cx = x0; cx < x1; ++cx) {
      const std::uint32_t p = src[cx];
      const std::uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = row + (left + cx) * 4;
      const std::uint32_t keep = 255 - alpha;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t s = (p >> (8 * c)) & 0xFF;
        // Rounded d × keep / 255; premultiplied input keeps s ≤ alpha, the min guards bad images.
        const std::uint32_t under = (d[c] * keep + 127) / 255;
        d[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, s + under));
      }
    }
  }
}

}  // namespace ambrel
