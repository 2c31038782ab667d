#include "Ambrel_Host/capture/CapturedFrame.h"

#include <cstring>

namespace ambrel {

void CapturedFrame::assign(const corvel::media::VideoFrame& frame,
                           std::chrono::steady_clock::time_point at) {
  width = frame.width;
  height = frame.height;
  capturedAt = at;
  const auto yRow = static_cast<std::size_t>(width);
  const auto uvRow = static_cast<std::size_t>(2 * ((width + 1) / 2));
  const auto uvRows = static_cast<std::size_t>((height + 1) / 2);
  y.resize(yRow * static_cast<std::size_t>(height));
  uv.resize(uvRow * uvRows);
  for (std::size_t r = 0; r < static_cast<std::size_t>(height); ++r) {
    std::memcpy(y.data() + r * yRow, frame.y + static_cast<std::ptrdiff_t>(r) * frame.yStride, yRow);
  }
  for (std::size_t r = 0; r < uvRows; ++r) {
    std::memcpy(uv.data() + r * uvRow, frame.uv + static_cast<std::ptrdiff_t>(r) * frame.uvStride,
                uvRow);
  }
}

corvel::media::VideoFrame CapturedFrame::view() const {
  corvel::media::VideoFrame frame;
  frame.width = width;
  frame.height = height;
  frame.y = y.data();
  frame.yStride = width;
  frame.uv = uv.data();
  frame.uvStride = 2 * ((width + 1) / 2);
  return frame;
}

}  // namespace ambrel
