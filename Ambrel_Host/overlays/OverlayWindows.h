#pragma once

#include <string>
#include <vector>

#include "Ambrel_Host/input/DisplayBounds.h"
#include "CorvelKit/protocol/AnnotationStroke.h"

namespace ambrel {

// The windows that draw over the screens — border, control pill and drawings — as the desktop
// interface shows them. Only shows what it is told; HostOverlays decides. Any thread may call.
class OverlayWindows {
 public:
  virtual ~OverlayWindows() = default;
  // The border around `display` and the pill with `text` and Stop, in orange for a support
  // session, else green. Moves them when they show elsewhere.
  virtual void showControl(const DisplayBounds& display, const std::string& text, bool isSupport) = 0;
  virtual void hideControl() = 0;
  // The strokes over `display`, in the order they came.
  virtual void showAnnotations(const DisplayBounds& display,
                               const std::vector<corvel::protocol::AnnotationStroke>& strokes) = 0;
  virtual void hideAnnotations() = 0;
};

}  // namespace ambrel
