#pragma once

#include <memory>
#include <string>

#include "Ambrel_Host/controller/ScreenReader.h"
#include "Ambrel_Host/controller/TesseractTextRecognizer.h"
#include "Ambrel_Host/controller/TurboJpegEncoder.h"
#include "Ambrel_Host/controller/X11FrontmostApp.h"

namespace ambrel {

// The screen reader of this desktop: Tesseract for the text, libjpeg-turbo for the pictures and
// the X display `displayName` ($DISPLAY when empty) for the application in front.
class DesktopScreenReader final : public ScreenReader {
 public:
  explicit DesktopScreenReader(std::string displayName = {}) : frontmost_(std::move(displayName)) {}

  std::optional<std::vector<std::string>> recognizeText(const CapturedFrame& frame) override;
  std::optional<corvel::Bytes> jpeg(const CapturedFrame& frame) override { return encoder_.encode(frame); }
  std::optional<std::string> frontmostApp() override { return frontmost_.name(); }

 private:
  TesseractTextRecognizer recognizer_;
  TurboJpegEncoder encoder_;
  X11FrontmostApp frontmost_;
};

}  // namespace ambrel
