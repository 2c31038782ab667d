#include "Ambrel_Host/controller/DesktopScreenReader.h"

namespace ambrel {

std::optional<std::vector<std::string>> DesktopScreenReader::recognizeText(const CapturedFrame& frame) {
  auto found = recognizer_.recognize(frame);
  if (!found) return std::nullopt;
  return TextLineOrder::lines(std::move(*found));
}

}  // namespace ambrel
