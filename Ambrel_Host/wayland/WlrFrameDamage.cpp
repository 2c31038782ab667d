#include "Ambrel_Host/wayland/WlrFrameDamage.h"

#include <algorithm>
#include <climits>

namespace ambrel {

void WlrFrameDamage::add(int, int y, int width, int height) {
  if (width <= 0 || height <= 0) return;
  // The compositor's numbers are unsigned on the wire: keep the end from overflowing.
  const int end = y > INT_MAX - height ? INT_MAX : y + height;
  if (rows_.empty()) {
    rows_ = {y, end};
  } else {
    rows_.first = std::min(rows_.first, y);
    rows_.end = std::max(rows_.end, end);
  }
}

WlrFrameDamage::Rows WlrFrameDamage::pictureRows(int height, bool yInvert) const {
  if (rows_.empty() || height <= 0) return {};
  const int first = std::clamp(rows_.first, 0, height);
  const int end = std::clamp(rows_.end, first, height);
  if (end <= first) return {};
  if (!yInvert) return {first, end};
  return {height - end, height - first};
}

}  // namespace ambrel
