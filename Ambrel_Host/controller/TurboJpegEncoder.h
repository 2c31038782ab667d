#pragma once

#include <optional>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

struct CapturedFrame;

// JPEG files of captured pictures through libjpeg-turbo, with one compressor kept for every
// picture. One thread at a time.
class TurboJpegEncoder {
 public:
  static constexpr int quality = 85;

  TurboJpegEncoder();
  ~TurboJpegEncoder();
  TurboJpegEncoder(const TurboJpegEncoder&) = delete;
  TurboJpegEncoder& operator=(const TurboJpegEncoder&) = delete;

  // The picture in full colour (4:2:0), or nothing when it can't be encoded.
  std::optional<corvel::Bytes> encode(const CapturedFrame& frame);

 private:
  void* handle_ = nullptr;
  corvel::Bytes pixels_;  // the picture as BGRX, reused
};

}  // namespace ambrel
