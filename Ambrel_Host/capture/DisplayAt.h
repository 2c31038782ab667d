#pragma once

#include <algorithm>
#include <limits>

namespace ambrel {

// Among elements that each have a `display` (a ScreenDisplay), the one whose display holds the
// point (x, y). A point between or beyond the displays goes onto the nearest edge of the closest
// one: that element, with x and y moved there. `end` when there are none.
template <class Iterator>
Iterator displayAt(Iterator begin, Iterator end, int& x, int& y) {
  const auto inside = [&](const auto& e) {
    const auto& d = e.display;
    return x >= d.x && y >= d.y && x < d.x + d.width && y < d.y + d.height;
  };
  auto found = std::find_if(begin, end, inside);
  if (found != end) return found;
  long best = std::numeric_limits<long>::max();
  for (auto it = begin; it != end; ++it) {
    const auto& d = it->display;
    const long cx = std::clamp(x, d.x, d.x + d.width - 1);
    const long cy = std::clamp(y, d.y, d.y + d.height - 1);
    const long distance = (cx - x) * (cx - x) + (cy - y) * (cy - y);
    if (distance < best) {
      best = distance;
      found = it;
    }
  }
  if (found == end) return end;
  x = std::clamp(x, found->display.x, found->display.x + found->display.width - 1);
  y = std::clamp(y, found->display.y, found->display.y + found->display.height - 1);
  return found;
}

}  // namespace ambrel
