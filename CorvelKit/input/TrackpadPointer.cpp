#include "CorvelKit/input/TrackpadPointer.h"

#include <algorithm>
#include <cmath>

namespace corvel::input {

double clampUnit(double value) {
  if (std::isnan(value)) return 0;
  return std::clamp(value, 0.0, 1.0);
}

void TrackpadPointer::setPosition(double newX, double newY) {
  x = clampUnit(newX);
  y = clampUnit(newY);
}

void TrackpadPointer::move(double dx, double dy, double speed, double viewWidth, double viewHeight) {
  if (!(viewWidth > 0) || !(viewHeight > 0)) return;
  double gain = std::clamp(speed / 450.0, 0.6, 2.6);
  if (std::isnan(gain)) gain = 0.6;
  x = clampUnit(x + dx * gain / viewWidth);
  y = clampUnit(y + dy * gain / viewHeight);
}

}  // namespace corvel::input
