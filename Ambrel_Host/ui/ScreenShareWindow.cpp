#include "Ambrel_Host/ui/ScreenShareWindow.h"

#include <cmath>

#include <QCloseEvent>
#include <QPainter>

namespace ambrel {

ScreenShareWindow::ScreenShareWindow(const QString& title, std::function<void()> closed)
    : QWidget(nullptr, Qt::Window), closed_(std::move(closed)) {
  setObjectName("screenShareWindow");
  setWindowTitle(title);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(initialWidth, initialHeight);
}

int ScreenShareWindow::rotation(std::uint32_t orientation) {
  switch (orientation) {
    case 3:
    case 4: return 180;
    case 5:
    case 8: return -90;
    case 6:
    case 7: return 90;
    default: return 0;
  }
}

bool ScreenShareWindow::isQuarterTurn(std::uint32_t orientation) { return orientation >= 5 && orientation <= 8; }

double ScreenShareWindow::aspectRatio() const {
  if (videoSize_.width() <= 0 || videoSize_.height() <= 0) return 0;
  const double w = videoSize_.width(), h = videoSize_.height();
  return isQuarterTurn(orientation_) ? h / w : w / h;
}

void ScreenShareWindow::setPicture(std::shared_ptr<const SharedPicture> picture) {
  if (!picture || picture->width <= 0 || picture->height <= 0) return;
  const QSize size(picture->width, picture->height);
  picture_ = std::move(picture);
  if (size != videoSize_) {
    videoSize_ = size;
    fitWindowToPicture();
  }
  update();
}

void ScreenShareWindow::setOrientation(std::uint32_t orientation) {
  if (orientation == orientation_) return;
  orientation_ = orientation;
  fitWindowToPicture();
  update();
}

void ScreenShareWindow::fitWindowToPicture() {
  // Keep the window's area about the same and give it the picture's shape.
  const double ratio = aspectRatio();
  if (ratio <= 0) return;
  const double area = static_cast<double>(width()) * height();
  const int h = static_cast<int>(std::sqrt(area / ratio));
  resize(static_cast<int>(h * ratio), h);
}

void ScreenShareWindow::closeFromHost() {
  closingFromHost_ = true;
  close();
}

void ScreenShareWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!closingFromHost_ && closed_) {
    auto closed = std::move(closed_);
    closed_ = nullptr;
    closed();
  }
}

void ScreenShareWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (!picture_) return;
  const QImage image(picture_->pixels.data(), picture_->width, picture_->height, picture_->width * 4,
                     QImage::Format_RGB32);
  // What is shown, once turned; fitted into the window and centred.
  QSizeF shown(image.width(), image.height());
  if (isQuarterTurn(orientation_)) shown.transpose();
  shown.scale(QSizeF(size()), Qt::KeepAspectRatio);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.translate(width() / 2.0, height() / 2.0);
  painter.rotate(rotation(orientation_));
  if (isQuarterTurn(orientation_)) shown.transpose();
  painter.drawImage(QRectF(-shown.width() / 2, -shown.height() / 2, shown.width(), shown.height()), image);
}

}  // namespace ambrel
