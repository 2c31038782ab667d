#pragma once

#include <QColor>
#include <QWidget>

#include "Ambrel_Host/input/DisplayBounds.h"

namespace ambrel {

// A coloured frame around the display in control: only the frame is part of the window (the rest
// is cut away, so it needs no compositor), and the mouse passes through it.
class BorderWindow final : public QWidget {
 public:
  static constexpr int lineWidth = 5;
  static constexpr int cornerRadius = 12;

  BorderWindow();
  void showAround(const DisplayBounds& display, bool isSupport);
  QColor tint() const { return tint_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QColor tint_;
};

// Orange in a support session, green otherwise.
QColor controlTint(bool isSupport);

}  // namespace ambrel
