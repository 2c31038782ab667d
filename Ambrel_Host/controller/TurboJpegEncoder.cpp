#include "Ambrel_Host/controller/TurboJpegEncoder.h"

#include <libyuv/convert_argb.h>
#include <turbojpeg.h>

#include "Ambrel_Host/capture/CapturedFrame.h"

namespace ambrel {

TurboJpegEncoder::TurboJpegEncoder() : handle_(tjInitCompress()) {}

TurboJpegEncoder::~TurboJpegEncoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::optional<corvel::Bytes> TurboJpegEncoder::encode(const CapturedFrame& frame) {
  const int w = frame.width, h = frame.height;
  const int uvStride = 2 * ((w + 1) / 2);
  if (handle_ == nullptr || w <= 0 || h <= 0 ||
      frame.y.size() < static_cast<std::size_t>(w) * static_cast<std::size_t>(h) ||
      frame.uv.size() < static_cast<std::size_t>(uvStride) * static_cast<std::size_t>((h + 1) / 2)) {
    return std::nullopt;
  }
  // Back to RGB with the matrix the capture converted with (BT.601, limited range).
  pixels_.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  if (libyuv::NV12ToARGB(frame.y.data(), w, frame.uv.data(), uvStride, pixels_.data(), w * 4, w, h) != 0) {
    return std::nullopt;
  }
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompress2(handle_, pixels_.data(), w, w * 4, h, TJPF_BGRX, &jpeg, &size, TJSAMP_420, quality, 0) != 0) {
    if (jpeg != nullptr) tjFree(jpeg);
    return std::nullopt;
  }
  corvel::Bytes out(jpeg, jpeg + size);
  tjFree(jpeg);
  return out;
}

}  // namespace ambrel
