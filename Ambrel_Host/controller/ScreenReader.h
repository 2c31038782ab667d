#pragma once

#include <optional>
#include <string>
#include <vector>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

struct CapturedFrame;

// What screen text and screenshots are made of: the text lines of a captured picture in reading
// order, the picture as a JPEG, and the name of the application in front. Slow (recognition
// takes a second or more): called on one worker thread, never on a connection's queue or the
// controller's executor.
class ScreenReader {
 public:
  virtual ~ScreenReader() = default;
  // Nothing when recognition failed; no lines for a screen without text.
  virtual std::optional<std::vector<std::string>> recognizeText(const CapturedFrame& frame) = 0;
  virtual std::optional<corvel::Bytes> jpeg(const CapturedFrame& frame) = 0;
  virtual std::optional<std::string> frontmostApp() = 0;
};

}  // namespace ambrel
