#pragma once

#include <vector>

#include <QPainterPath>
#include <QWidget>

#include "Ambrel_Host/input/DisplayBounds.h"
#include "CorvelKit/protocol/AnnotationStroke.h"

namespace ambrel {

// The remote person's drawings over one display. The window is cut to the strokes themselves, so
// the screen shows through everywhere else without a compositor, and the mouse passes through.
class AnnotationLayer final : public QWidget {
 public:
  AnnotationLayer();
  void showOver(const DisplayBounds& display, std::vector<corvel::protocol::AnnotationStroke> strokes);

  // The outline a stroke covers on a canvas of `size`; empty for a stroke that can't be drawn
  // (fewer than two points, or a colour without its four parts). A trailing odd value is ignored.
  static QPainterPath outline(const corvel::protocol::AnnotationStroke& stroke, QSizeF size);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  static QPainterPath path(const corvel::protocol::AnnotationStroke& stroke, QSizeF size);
  static std::vector<QPainterPath> pieces(const corvel::protocol::AnnotationStroke& stroke, QSizeF size);
  static bool drawable(const corvel::protocol::AnnotationStroke& stroke);
  bool reshape();  // false when nothing is drawable

  std::vector<corvel::protocol::AnnotationStroke> strokes_;
};

}  // namespace ambrel
