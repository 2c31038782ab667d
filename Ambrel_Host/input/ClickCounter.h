#pragma once

#include <optional>

#include "Ambrel_Host/input/DisplayBounds.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/protocol/MouseButton.h"

namespace ambrel {

// Counts clicks the way the desktop does: a press of the same button within the double-click
// interval of the last press, and less than 6 points away from it, continues its count (2 for a
// double-click, 3 for a triple-click, ...); any other press starts again at 1.
class ClickCounter {
 public:
  static constexpr double maxDistance = 6.0;

  explicit ClickCounter(corvel::Clock::Duration interval) : interval_(interval) {}

  // The count of a press at `now`, remembered for the next one.
  int press(corvel::protocol::MouseButton button, DisplayPoint point, corvel::Clock::TimePoint now);
  // The count a release carries: that of the last press (1 if there was none).
  int releaseCount() const { return last_ ? last_->count : 1; }

  corvel::Clock::Duration interval() const { return interval_; }

 private:
  struct Click {
    corvel::Clock::TimePoint time;
    DisplayPoint point;
    corvel::protocol::MouseButton button;
    int count;
  };
  corvel::Clock::Duration interval_;
  std::optional<Click> last_;
};

}  // namespace ambrel
