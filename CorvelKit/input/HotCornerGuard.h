#pragma once

namespace corvel::input {

// Keeps a pointer out of the remote desktop's hot corners.
struct HotCornerGuard {
  // The horizontal coordinate (fraction 0…1) to use for a pointer at (x, y) on a view of
  // `viewWidth` × `viewHeight` points: inside a corner zone (within `margin` points of a left or
  // right edge and of a top or bottom edge) it is pulled in to `margin` from the nearer side edge;
  // elsewhere, and on an empty view, it is `x` unchanged.
  static double adjust(double x, double y, double viewWidth, double viewHeight, double margin);
};

}  // namespace corvel::input
