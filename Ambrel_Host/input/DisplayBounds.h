#pragma once

namespace ambrel {

// A point in the X screen's coordinates (pixels, which are the desktop's points here).
struct DisplayPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const DisplayPoint&, const DisplayPoint&) = default;
};

// The area of one display (a RandR monitor, or the whole screen) in the X screen's coordinates.
struct DisplayBounds {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return static_cast<double>(x) + width; }
  double maxY() const { return static_cast<double>(y) + height; }
  DisplayPoint centre() const { return {x + width / 2.0, y + height / 2.0}; }
  bool isEmpty() const { return width <= 0 || height <= 0; }

  friend bool operator==(const DisplayBounds&, const DisplayBounds&) = default;
};

}  // namespace ambrel
