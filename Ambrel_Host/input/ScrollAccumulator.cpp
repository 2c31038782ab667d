#include "Ambrel_Host/input/ScrollAccumulator.h"

#include <cmath>

namespace ambrel {

int ScrollAccumulator::add(double pixels) {
  if (!std::isfinite(pixels) || pixels == 0) return 0;
  int direction = pixels > 0 ? 1 : -1;
  if (direction != direction_) remainder_ = 0;
  direction_ = direction;
  remainder_ += pixels;
  double steps = std::round(remainder_ / pixelsPerStep);  // halves away from zero
  if (std::fabs(steps) > maxStepsPerEvent) {
    remainder_ = 0;
    return steps > 0 ? maxStepsPerEvent : -maxStepsPerEvent;
  }
  remainder_ -= steps * pixelsPerStep;
  return static_cast<int>(steps);
}

}  // namespace ambrel
