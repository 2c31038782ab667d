#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Ambrel_Host/controller/TextLineOrder.h"

namespace ambrel {

struct CapturedFrame;

// Text lines of a captured picture through Tesseract's LSTM engine with its English data. The
// engine is loaded at the first use and kept; one thread at a time.
class TesseractTextRecognizer {
 public:
  TesseractTextRecognizer();
  ~TesseractTextRecognizer();

  // Each line with the corner of its box; nothing when the engine can't be loaded or fails.
  std::optional<std::vector<TextObservation>> recognize(const CapturedFrame& frame);

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
  bool failed_ = false;
};

}  // namespace ambrel
