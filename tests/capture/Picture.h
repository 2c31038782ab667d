#pragma once

#include <cstdint>
#include <vector>

namespace ambrel::test {

// A BGRX picture of one colour, with a guard row of 0xEE after it to catch writes past the end.
struct Picture {
  int width, height;
  std::vector<std::uint8_t> bytes;
  Picture(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r)
      : width(w), height(h), bytes(static_cast<std::size_t>(w * (h + 1) * 4), 0xEE) {
    for (int i = 0; i < w * h; ++i) {
      bytes[static_cast<std::size_t>(i * 4) + 0] = b;
      bytes[static_cast<std::size_t>(i * 4) + 1] = g;
      bytes[static_cast<std::size_t>(i * 4) + 2] = r;
      bytes[static_cast<std::size_t>(i * 4) + 3] = 0;
    }
  }
  const std::uint8_t* at(int x, int y) const { return &bytes[static_cast<std::size_t>((y * width + x) * 4)]; }
  bool guardIntact() const {
    for (std::size_t i = static_cast<std::size_t>(width * height * 4); i < bytes.size(); ++i) {
      if (bytes[i] != 0xEE) return false;
    }
    return true;
  }
};

}  // namespace ambrel::test
