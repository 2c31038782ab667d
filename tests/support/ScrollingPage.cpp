#include "tests/support/ScrollingPage.h"

#include <algorithm>
#include <cstring>

namespace corvel::test {

namespace {

constexpr int kLineHeight = 20;
constexpr int kCellWidth = 8;
constexpr std::uint32_t kPaper = 0xFFFFFF;
constexpr std::uint32_t kInk = 0x202830;

std::uint32_t mix(std::uint32_t v) {
  v ^= v >> 16;
  v *= 0x7FEB352Du;
  v ^= v >> 15;
  v *= 0x846CA68Bu;
  v ^= v >> 16;
  return v;
}

}  // namespace

ScrollingPage::ScrollingPage(int width)
    : width_(std::max(1, width)), pixels_(static_cast<std::size_t>(width_) * kRows, kPaper) {
  for (int y = 0; y < kRows; ++y) {
    const int line = y / kLineHeight;
    const int inLine = y % kLineHeight - 4;  // 12 rows of glyphs, 8 of spacing
    if (inLine < 0 || inLine >= 12) continue;
    // Lines end at different lengths, as text does.
    const int length = width_ * (40 + static_cast<int>(mix(static_cast<std::uint32_t>(line)) % 60)) / 100;
    std::uint32_t* out = &pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_)];
    for (int x = 8; x < length; ++x) {
      const int cell = x / kCellWidth;
      const int column = x % kCellWidth;
      const std::uint32_t glyph = mix(static_cast<std::uint32_t>(line * 4099 + cell));
      if (column >= 6 || glyph % 6 == 0) continue;  // the gap between glyphs; a space
      // A 6 × 12 glyph: a few strokes chosen by the glyph's bits.
      const bool stem = column == static_cast<int>(glyph >> 8) % 6;
      const bool bar = inLine == static_cast<int>(glyph >> 12) % 12 || inLine == 11 - static_cast<int>(glyph >> 16) % 4;
      if (stem || bar) out[x] = kInk;
    }
  }
}

const std::uint32_t* ScrollingPage::row(int y) const {
  return &pixels_[static_cast<std::size_t>(std::max(0, y) % kRows) * static_cast<std::size_t>(width_)];
}

void ScrollingPage::copy(std::uint32_t* pixels, int stride, int height, int offset) const {
  for (int y = 0; y < height; ++y) {
    std::memcpy(pixels + static_cast<std::ptrdiff_t>(y) * stride, row(offset + y),
                static_cast<std::size_t>(width_) * sizeof(std::uint32_t));
  }
}

}  // namespace corvel::test
