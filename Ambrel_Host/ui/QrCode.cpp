#include "Ambrel_Host/ui/QrCode.h"

#include <memory>

#include <QImage>
#include <QPainter>
#include <qrencode.h>

namespace ambrel {

QImage qrCodeImage(const std::string& text, int scale) {
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M), &QRcode_free);
  if (!code || scale <= 0) return {};
  constexpr int quiet = 4;
  const int modules = code->width;
  const int side = (modules + 2 * quiet) * scale;
  QImage image(side, side, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  for (int y = 0; y < modules; ++y) {
    for (int x = 0; x < modules; ++x) {
      // The lowest bit of each module's byte says whether it is dark.
      if (code->data[y * modules + x] & 1) {
        painter.fillRect((x + quiet) * scale, (y + quiet) * scale, scale, scale, Qt::black);
      }
    }
  }
  return image;
}

}  // namespace ambrel
