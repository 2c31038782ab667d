#include "Ambrel_Host/capture/CaptureError.h"

#include <string>

namespace ambrel {

namespace {
class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ambrel.capture"; }
  std::string message(int code) const override {
    switch (static_cast<CaptureErrc>(code)) {
      case CaptureErrc::noDisplayServer: return "The display server cannot be reached.";
      case CaptureErrc::extensionMissing: return "The display server lacks an extension screen capture needs.";
      case CaptureErrc::displayNotFound: return "The display is not available.";
      case CaptureErrc::unsupportedPixelFormat: return "The display's pixel format is not supported.";
      case CaptureErrc::sharedMemoryFailed: return "The shared capture image could not be set up.";
      case CaptureErrc::displayRemoved: return "The display was disconnected.";
      case CaptureErrc::connectionLost: return "The connection to the display server was lost.";
      case CaptureErrc::virtualDisplayFailed: return "The virtual display could not be started.";
      case CaptureErrc::screenCastRefused: return "The desktop did not start the screen cast.";
      case CaptureErrc::streamFailed: return "The screen cast's picture stream failed.";
    }
    return "Unknown capture error " + std::to_string(code);
  }
};
}  // namespace

const std::error_category& captureCategory() {
  static const Category category;
  return category;
}

std::error_code make_error_code(CaptureErrc e) { return {static_cast<int>(e), captureCategory()}; }

}  // namespace ambrel
