#include "CorvelKit/base/Date.h"

#include <cmath>
#include <limits>

namespace corvel {

Date Date::fromTimePoint(Clock::time_point t) {
  using Seconds = std::chrono::duration<double>;
  return fromUnixSeconds(std::chrono::duration_cast<Seconds>(t.time_since_epoch()).count());
}

Date::Clock::time_point Date::timePoint() const {
  using Rep = Clock::duration::rep;
  using Period = Clock::duration::period;
  // Ticks of the clock since the Unix epoch, computed in double and clamped before the
  // conversion to an integer (an out-of-range conversion would be undefined).
  double ticks = unixSeconds() * static_cast<double>(Period::den) / static_cast<double>(Period::num);
  constexpr double limit = static_cast<double>(std::numeric_limits<Rep>::max());
  if (std::isnan(ticks)) return Clock::time_point{};
  if (ticks >= limit) return Clock::time_point::max();
  if (ticks <= -limit) return Clock::time_point::min();
  return Clock::time_point(Clock::duration(static_cast<Rep>(std::llround(ticks))));
}

}  // namespace corvel
