#include "Ambrel_Host/input/ClickCounter.h"

#include <cmath>

namespace ambrel {

int ClickCounter::press(corvel::protocol::MouseButton button, DisplayPoint point,
                        corvel::Clock::TimePoint now) {
  int count = 1;
  if (last_ && last_->button == button && now - last_->time < interval_ &&
      std::hypot(point.x - last_->point.x, point.y - last_->point.y) < maxDistance) {
    count = last_->count + 1;
  }
  last_ = Click{now, point, button, count};
  return count;
}

}  // namespace ambrel
