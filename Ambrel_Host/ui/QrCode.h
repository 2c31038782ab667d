#pragma once

#include <string>

class QImage;

namespace ambrel {

// A QR code of `text` as a black-on-white image, `scale` pixels per module, with the standard
// quiet zone; a null image when the text doesn't fit a QR code.
QImage qrCodeImage(const std::string& text, int scale);

}  // namespace ambrel
