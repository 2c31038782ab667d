#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "CorvelKit/media/VideoFrame.h"

namespace ambrel {

// An owned copy of one captured NV12 picture, kept so a keyframe of the current screen can be
// made while nothing on it changes, and for screenshots.
struct CapturedFrame {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> y;   // width bytes a row
  std::vector<std::uint8_t> uv;  // 2 × ceil(width / 2) bytes a row
  std::chrono::steady_clock::time_point capturedAt;

  void assign(const corvel::media::VideoFrame& frame, std::chrono::steady_clock::time_point at);
  corvel::media::VideoFrame view() const;
};

}  // namespace ambrel
