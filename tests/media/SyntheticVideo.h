#pragma once

#include <cstdint>
#include <vector>

#include "CorvelKit/media/VideoFrame.h"

namespace corvel::media::testing {

// An NV12 picture owned by the test: a diagonal gradient that moves with `step`, optionally with
// pseudo-random noise so that the encoder's rate control has something to bite on.
class SyntheticPicture {
 public:
  SyntheticPicture(int width, int height)
      : width_(width), height_(height), yStride_(width + 16), uvStride_(2 * ((width + 1) / 2) + 16),
        y_(static_cast<std::size_t>(yStride_ * height)),
        uv_(static_cast<std::size_t>(uvStride_ * ((height + 1) / 2))) {}

  void draw(int step, bool noise = false) {
    std::uint32_t seed = 0x9e3779b9u * static_cast<std::uint32_t>(step + 1);
    for (int row = 0; row < height_; ++row) {
      for (int x = 0; x < width_; ++x) {
        int v = (x + row + 4 * step) & 0xff;
        if (noise) {
          seed = seed * 1664525u + 1013904223u;
          v = (v + static_cast<int>(seed >> 26)) & 0xff;
        }
        y_[static_cast<std::size_t>(row * yStride_ + x)] = static_cast<std::uint8_t>(v);
      }
    }
    for (int row = 0; row < (height_ + 1) / 2; ++row) {
      for (int x = 0; x < (width_ + 1) / 2; ++x) {
        auto* p = &uv_[static_cast<std::size_t>(row * uvStride_ + 2 * x)];
        p[0] = static_cast<std::uint8_t>(128 + ((x + step) & 0x3f));
        p[1] = static_cast<std::uint8_t>(128 - ((row + step) & 0x3f));
      }
    }
  }

  VideoFrame frame() const {
    return VideoFrame{width_, height_, y_.data(), yStride_, uv_.data(), uvStride_};
  }

 private:
  int width_, height_, yStride_, uvStride_;
  std::vector<std::uint8_t> y_, uv_;
};

}  // namespace corvel::media::testing
