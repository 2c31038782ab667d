#pragma once

namespace corvel::input {

// A cursor that a finger moves relatively, like a trackpad: its position in fractions (0…1) of the
// remote display, accelerated by the finger's speed.
struct TrackpadPointer {
  double x = 0;
  double y = 0;

  // Stores the position, each coordinate clamped to 0…1.
  void setPosition(double newX, double newY);
  // Moves by a finger delta (view points) made at `speed` (points per second) on a view of
  // `viewWidth` × `viewHeight` points; the gain is speed ÷ 450, kept within 0.6…2.6. Nothing
  // happens on an empty view.
  void move(double dx, double dy, double speed, double viewWidth, double viewHeight);

  friend bool operator==(const TrackpadPointer&, const TrackpadPointer&) = default;
};

// Clamps a normalised coordinate to 0…1 (NaN becomes 0).
double clampUnit(double value);

}  // namespace corvel::input
