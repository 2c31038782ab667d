#include "Ambrel_Host/capture/FrameConverter.h"

#include <algorithm>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace ambrel {

void FrameConverter::reserve(FrameSize output) {
  if (output == size_) return;
  size_ = output;
  sourceWidth_ = sourceHeight_ = 0;  // the planes hold no picture of this size yet
  const auto w = static_cast<std::size_t>(output.width);
  const auto h = static_cast<std::size_t>(output.height);
  y_.resize(w * h);
  uv_.resize(w * (h / 2));
  frame_.width = output.width;
  frame_.height = output.height;
  frame_.y = y_.data();
  frame_.yStride = output.width;
  frame_.uv = uv_.data();
  frame_.uvStride = output.width;
}

const corvel::media::VideoFrame& FrameConverter::convert(const std::uint8_t* source,
                                                         std::ptrdiff_t sourceStride,
                                                         int sourceWidth, int sourceHeight,
                                                         FrameSize output, int firstRow, int endRow) {
  reserve(output);
  const bool samePicture = sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_;
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  const auto argbStride = static_cast<int>(sourceStride);
  // Rounding an odd side down to even just leaves out the last column or row: no scaling for that.
  const bool cropOnly = output.width <= sourceWidth && output.width >= sourceWidth - 1 &&
                        output.height <= sourceHeight && output.height >= sourceHeight - 1;
  if (!cropOnly) {
    scaled_.resize(static_cast<std::size_t>(output.width) * static_cast<std::size_t>(output.height) * 4);
    libyuv::ARGBScale(source, argbStride, sourceWidth, sourceHeight, scaled_.data(),
                      output.width * 4, output.width, output.height, libyuv::kFilterBilinear);
    libyuv::ARGBToNV12(scaled_.data(), output.width * 4, y_.data(), output.width, uv_.data(),
                       output.width, output.width, output.height);
    return frame_;
  }
  int first = 0;
  int end = output.height;
  if (samePicture) {
    // Whole pairs of rows: each chroma row is made from two picture rows.
    first = std::clamp(firstRow, 0, output.height) & ~1;
    end = std::clamp(endRow, first, output.height);
    end = std::min(output.height, end + (end & 1));
  }
  if (end > first) {
    const auto w = static_cast<std::ptrdiff_t>(output.width);
    libyuv::ARGBToNV12(source + first * sourceStride, argbStride, y_.data() + first * w, output.width,
                       uv_.data() + (first / 2) * w, output.width, output.width, end - first);
  }
  return frame_;
}

}  // namespace ambrel
