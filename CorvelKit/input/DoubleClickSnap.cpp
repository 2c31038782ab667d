#include "CorvelKit/input/DoubleClickSnap.h"

#include <cmath>

namespace corvel::input {

DoubleClickSnap::Point DoubleClickSnap::snap(double time, double viewX, double viewY, double macX,
                                             double macY) {
  Point result{macX, macY};
  if (last) {
    double elapsed = time - last->time;
    double distance = std::hypot(viewX - last->viewX, viewY - last->viewY);
    if (elapsed >= 0 && elapsed < maxInterval && distance < maxDistance) {
      result = {last->macX, last->macY};
    }
  }
  last = Tap{time, viewX, viewY, result.x, result.y};
  return result;
}

}  // namespace corvel::input
