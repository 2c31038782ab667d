#include "Ambrel_Host/controller/TesseractTextRecognizer.h"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include "Ambrel_Host/capture/CapturedFrame.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("screen"); }
}  // namespace

struct TesseractTextRecognizer::Engine {
  tesseract::TessBaseAPI api;
};

TesseractTextRecognizer::TesseractTextRecognizer() = default;

TesseractTextRecognizer::~TesseractTextRecognizer() {
  if (engine_) engine_->api.End();
}

std::optional<std::vector<TextObservation>> TesseractTextRecognizer::recognize(const CapturedFrame& frame) {
  if (failed_ || frame.width <= 0 || frame.height <= 0) return std::nullopt;
  if (!engine_) {
    auto engine = std::make_unique<Engine>();
    // The English data of the system's package, with the LSTM engine.
    if (engine->api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY) != 0) {
      log().error("can't load the English text recognition data");
      failed_ = true;
      return std::nullopt;
    }
    engine->api.SetVariable("debug_file", "/dev/null");
    // A screen holds many blocks of text, in columns, menus and windows.
    engine->api.SetPageSegMode(tesseract::PSM_AUTO);
    engine_ = std::move(engine);
  }
  auto& api = engine_->api;
  // The luma plane is the picture in grey.
  api.SetImage(frame.y.data(), frame.width, frame.height, 1, frame.width);
  api.SetSourceResolution(96);
  if (api.Recognize(nullptr) != 0) {
    api.Clear();
    return std::nullopt;
  }
  std::vector<TextObservation> found;
  std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
  if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
    do {
      std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
      if (!text) continue;
      std::string line(text.get());
      while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
      if (line.empty()) continue;
      int left = 0, top = 0, right = 0, bottom = 0;
      it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom);
      found.push_back({std::move(line), static_cast<double>(left) / frame.width,
                       1.0 - static_cast<double>(bottom) / frame.height});
    } while (it->Next(tesseract::RIL_TEXTLINE));
  }
  api.Clear();
  return found;
}

}  // namespace ambrel
