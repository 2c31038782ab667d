#include "Ambrel_Host/ui/AnnotationLayer.h"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QPainterPathStroker>

#include "Ambrel_Host/ui/WindowShape.h"

namespace ambrel {

namespace {
QColor colourOf(const corvel::protocol::AnnotationStroke& stroke) {
  auto part = [&](std::size_t i) { return std::clamp(static_cast<double>(stroke.color[i]), 0.0, 1.0); };
  return QColor::fromRgbF(static_cast<float>(part(0)), static_cast<float>(part(1)), static_cast<float>(part(2)),
                          static_cast<float>(part(3)));
}

qreal lineWidth(const corvel::protocol::AnnotationStroke& stroke, QSizeF size) {
  const double w = static_cast<double>(stroke.width) * size.width();
  return std::isfinite(w) && w > 0 ? w : 1.0;
}
}  // namespace

AnnotationLayer::AnnotationLayer()
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint |
                           Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus | Qt::Tool) {
  setObjectName("annotationLayer");
  setAttribute(Qt::WA_ShowWithoutActivating);
}

bool AnnotationLayer::drawable(const corvel::protocol::AnnotationStroke& stroke) {
  if (stroke.points.size() < 4 || stroke.color.size() < 4) return false;
  for (float v : stroke.points) {
    if (!std::isfinite(v)) return false;
  }
  for (float v : stroke.color) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

QPainterPath AnnotationLayer::path(const corvel::protocol::AnnotationStroke& stroke, QSizeF size) {
  QPainterPath p;
  if (!drawable(stroke)) return p;
  const auto& pts = stroke.points;
  p.moveTo(static_cast<double>(pts[0]) * size.width(), static_cast<double>(pts[1]) * size.height());
  for (std::size_t i = 2; i + 1 < pts.size(); i += 2) {
    p.lineTo(static_cast<double>(pts[i]) * size.width(), static_cast<double>(pts[i + 1]) * size.height());
  }
  return p;
}

QPainterPath AnnotationLayer::outline(const corvel::protocol::AnnotationStroke& stroke, QSizeF size) {
  auto line = path(stroke, size);
  if (line.isEmpty()) return line;
  QPainterPathStroker stroker;
  stroker.setWidth(lineWidth(stroke, size));
  stroker.setCapStyle(Qt::RoundCap);
  stroker.setJoinStyle(Qt::RoundJoin);
  return stroker.createStroke(line);
}

void AnnotationLayer::showOver(const DisplayBounds& display, std::vector<corvel::protocol::AnnotationStroke> strokes) {
  strokes_ = std::move(strokes);
  setGeometry(display.x, display.y, display.width, display.height);
  // Nothing drawable: an empty mask would mean no mask at all, a window over the whole display.
  if (!reshape()) {
    hide();
    return;
  }
  show();
  raise();
  update();
}

bool AnnotationLayer::reshape() {
  QPainterPath covered;
  for (const auto& s : strokes_) covered.addPath(outline(s, QSizeF(size())));
  if (covered.isEmpty()) return false;
  // One pixel more all round, for the antialiased edge.
  QPainterPathStroker edge;
  edge.setWidth(2);
  covered.addPath(edge.createStroke(covered));
  setMask(windowShape(size(), covered));
  return true;
}

void AnnotationLayer::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QSizeF canvas(size());
  for (const auto& s : strokes_) {
    auto line = path(s, canvas);
    if (line.isEmpty()) continue;
    painter.setPen(QPen(colourOf(s), lineWidth(s, canvas), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(line);
  }
}

}  // namespace ambrel
