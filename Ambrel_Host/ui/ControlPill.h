#pragma once

#include <functional>

#include <QWidget>

#include "Ambrel_Host/input/DisplayBounds.h"

class QLabel;
class QPushButton;

namespace ambrel {

// The small floating capsule that names who is in control, with a Stop button: centred at the
// top of the display, 8 pixels down.
class ControlPill final : public QWidget {
 public:
  static constexpr int topMargin = 8;

  explicit ControlPill(std::function<void()> stop);
  void showOn(const DisplayBounds& display, const QString& text, bool isSupport);

  QString text() const;
  QPushButton* stopButton() const { return stop_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QLabel* label_;
  QPushButton* stop_;
  QColor tint_;
};

}  // namespace ambrel
