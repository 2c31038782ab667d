#include "Ambrel_Host/ui/AnnotationLayer.h"

#include <algorithm>
#include <cmath>

#include <QBitmap>
#include <QPainter>
#include <QPainterPathStroker>

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

std::vector<QPainterPath> AnnotationLayer::pieces(const corvel::protocol::AnnotationStroke& stroke, QSizeF size) {
  std::vector<QPainterPath> out;
  auto line = path(stroke, size);
  if (line.isEmpty()) return out;
  // One rounded piece per segment, each filled on its own: the outline of a whole polyline
  // leaves small holes where segments join.
  QPainterPathStroker stroker;
  stroker.setWidth(lineWidth(stroke, size));
  stroker.setCapStyle(Qt::RoundCap);
  stroker.setJoinStyle(Qt::RoundJoin);
  for (int i = 1; i < line.elementCount(); ++i) {
    QPainterPath segment(QPointF(line.elementAt(i - 1).x, line.elementAt(i - 1).y));
    segment.lineTo(line.elementAt(i).x, line.elementAt(i).y);
    out.push_back(stroker.createStroke(segment));
  }
  return out;
}

QPainterPath AnnotationLayer::outline(const corvel::protocol::AnnotationStroke& stroke, QSizeF size) {
  QPainterPath all;
  for (const auto& piece : pieces(stroke, size)) all.addPath(piece);
  return all;
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
  QBitmap shape(size());
  shape.fill(Qt::color0);
  bool any = false;
  {
    QPainter painter(&shape);
    for (const auto& s : strokes_) {
      for (const auto& piece : pieces(s, QSizeF(size()))) {
        painter.fillPath(piece, Qt::color1);
        any = true;
      }
    }
  }
  if (any) setMask(shape);
  return any;
}

void AnnotationLayer::paintEvent(QPaintEvent*) {
  // The same pieces as the window's shape, without antialiasing: exactly the pixels the window
  // is cut to, so no edge blends with the window's own background instead of the screen beneath.
  QPainter painter(this);
  const QSizeF canvas(size());
  for (const auto& s : strokes_) {
    const auto colour = colourOf(s);
    for (const auto& piece : pieces(s, canvas)) painter.fillPath(piece, colour);
  }
}

}  // namespace ambrel
