#pragma once

#include <cstdint>
#include <vector>

namespace corvel::test {

// A tall page of text-like lines (dark strokes on white, a line every 20 rows) for scrolling
// content in benchmarks: the same page on every desktop, drawn once and read a row at a time.
// Rows wrap around, so any offset reads a full page.
class ScrollingPage {
 public:
  explicit ScrollingPage(int width);

  int width() const { return width_; }
  int period() const { return kRows; }
  // Row `y` of the page (any y ≥ 0), `width()` pixels of 0x00RRGGBB.
  const std::uint32_t* row(int y) const;
  // Copies rows [offset, offset + height) into `pixels`, `stride` pixels apart.
  void copy(std::uint32_t* pixels, int stride, int height, int offset) const;

 private:
  static constexpr int kRows = 2048;
  int width_;
  std::vector<std::uint32_t> pixels_;
};

}  // namespace corvel::test
