#include "Ambrel_Host/ui/ControlPill.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include "Ambrel_Host/ui/BorderWindow.h"
#include "Ambrel_Host/ui/WindowShape.h"

namespace ambrel {

namespace {
QPainterPath capsule(const QRectF& area) {
  QPainterPath path;
  path.addRoundedRect(area, area.height() / 2, area.height() / 2);
  return path;
}
}  // namespace

ControlPill::ControlPill(std::function<void()> stop)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::Tool),
      label_(new QLabel(this)),
      stop_(new QPushButton("Stop", this)) {
  setObjectName("controlPill");
  setAttribute(Qt::WA_ShowWithoutActivating);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 6, 8, 6);
  row->setSpacing(10);
  auto font = label_->font();
  font.setWeight(QFont::Medium);
  label_->setFont(font);
  label_->setStyleSheet("color: white;");
  row->addWidget(label_);
  stop_->setObjectName("stop");
  stop_->setStyleSheet("QPushButton { background: #e5403a; color: white; border-radius: 9px; padding: 2px 10px; }");
  stop_->setFocusPolicy(Qt::NoFocus);
  connect(stop_, &QPushButton::clicked, this, [stop = std::move(stop)] {
    if (stop) stop();
  });
  row->addWidget(stop_);
  setAccessibleName("Session control");
}

QString ControlPill::text() const { return label_->text(); }

void ControlPill::showOn(const DisplayBounds& display, const QString& text, bool isSupport) {
  tint_ = controlTint(isSupport);
  label_->setText(text);
  setAccessibleDescription(text);
  adjustSize();
  const auto size = sizeHint();
  resize(size);
  move(display.x + (display.width - size.width()) / 2, display.y + topMargin);
  show();
  raise();
  update();
}

void ControlPill::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  setMask(windowShape(size(), capsule(QRectF(rect()))));
}

void ControlPill::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const auto area = QRectF(rect()).adjusted(1, 1, -1, -1);
  painter.fillPath(capsule(area), QColor(30, 30, 30, 235));
  painter.setPen(QPen(tint_, 2));
  painter.drawPath(capsule(area));
}

}  // namespace ambrel
