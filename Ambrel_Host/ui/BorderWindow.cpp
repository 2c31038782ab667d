#include "Ambrel_Host/ui/BorderWindow.h"

#include <QPainter>
#include <QPainterPath>

#include "Ambrel_Host/ui/WindowShape.h"

namespace ambrel {

namespace {
QPainterPath ring(const QRectF& area) {
  const qreal half = BorderWindow::lineWidth / 2.0;
  QPainterPath outer;
  outer.addRoundedRect(area, BorderWindow::cornerRadius, BorderWindow::cornerRadius);
  QPainterPath inner;
  const auto innerArea = area.adjusted(BorderWindow::lineWidth, BorderWindow::lineWidth, -BorderWindow::lineWidth,
                                       -BorderWindow::lineWidth);
  inner.addRoundedRect(innerArea, BorderWindow::cornerRadius - half, BorderWindow::cornerRadius - half);
  return outer.subtracted(inner);
}
}  // namespace

QColor controlTint(bool isSupport) { return isSupport ? QColor(255, 149, 0) : QColor(52, 199, 89); }

BorderWindow::BorderWindow()
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint |
                           Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus | Qt::Tool) {
  setObjectName("overlayBorder");
  setAttribute(Qt::WA_ShowWithoutActivating);
}

void BorderWindow::showAround(const DisplayBounds& display, bool isSupport) {
  tint_ = controlTint(isSupport);
  setGeometry(display.x, display.y, display.width, display.height);
  show();
  raise();
  update();
}

void BorderWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  setMask(windowShape(size(), ring(QRectF(rect()))));
}

void BorderWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(ring(QRectF(rect())), tint_);
}

}  // namespace ambrel
