#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "CorvelKit/base/Date.h"

namespace corvel {
namespace {

using namespace std::chrono;

TEST(Date, CountsSecondsFromTheStartOf2001Utc) {
  // 2001-01-01 00:00:00 UTC
  constexpr auto reference = sys_days{year{2001} / January / 1};
  EXPECT_EQ(Date(0).timePoint(), reference);
  EXPECT_EQ(Date::fromTimePoint(reference), Date(0));
  EXPECT_EQ(Date(86400.5).timePoint(), reference + days{1} + milliseconds{500});
  EXPECT_EQ(Date(-1).timePoint(), reference - seconds{1});
}

TEST(Date, NowRoundTripsThroughTimePoints) {
  auto before = system_clock::now();
  Date now = Date::now();
  auto after = system_clock::now();
  EXPECT_GE(now.timePoint(), before - microseconds{1});
  EXPECT_LE(now.timePoint(), after + microseconds{1});
}

TEST(Date, DatesOutsideTheClockRangeSaturateInsteadOfOverflowing) {
  // Peer-supplied dates can hold any double.
  EXPECT_EQ(Date(1e300).timePoint(), system_clock::time_point::max());
  EXPECT_EQ(Date(-1e300).timePoint(), system_clock::time_point::min());
  EXPECT_EQ(Date(std::numeric_limits<double>::infinity()).timePoint(),
            system_clock::time_point::max());
  EXPECT_EQ(Date(std::nan("")).timePoint(), system_clock::time_point{});
}

}  // namespace
}  // namespace corvel
