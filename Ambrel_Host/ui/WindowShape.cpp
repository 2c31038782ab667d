#include "Ambrel_Host/ui/WindowShape.h"

#include <QPainter>

namespace ambrel {

QBitmap windowShape(QSize size, const QPainterPath& area) {
  QBitmap bitmap(size);
  bitmap.fill(Qt::color0);
  QPainter painter(&bitmap);
  painter.fillPath(area, Qt::color1);
  return bitmap;
}

}  // namespace ambrel
