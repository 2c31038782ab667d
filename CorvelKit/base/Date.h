#pragma once

#include <chrono>
#include <compare>

namespace corvel {

// A point in time, held as it travels on the wire: seconds (fractional) since the reference
// date 2001-01-01 00:00:00 UTC.
class Date {
 public:
  using Clock = std::chrono::system_clock;

  // Seconds from the Unix epoch to the reference date.
  static constexpr double referenceDateUnixSeconds = 978307200.0;

  constexpr Date() = default;
  constexpr explicit Date(double secondsSinceReferenceDate)
      : seconds_(secondsSinceReferenceDate) {}

  static Date now() { return fromTimePoint(Clock::now()); }
  static Date fromTimePoint(Clock::time_point t);
  static constexpr Date fromUnixSeconds(double s) { return Date(s - referenceDateUnixSeconds); }

  constexpr double secondsSinceReferenceDate() const { return seconds_; }
  constexpr double unixSeconds() const { return seconds_ + referenceDateUnixSeconds; }
  // The nearest representable time point; dates beyond the clock's range (or not a number)
  // saturate to its ends instead of overflowing.
  Clock::time_point timePoint() const;

  friend constexpr bool operator==(const Date&, const Date&) = default;
  friend constexpr auto operator<=>(const Date&, const Date&) = default;

 private:
  double seconds_ = 0;
};

}  // namespace corvel
