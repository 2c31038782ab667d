#include <gtest/gtest.h>

#include "CorvelKit/security/BruteForceGuard.h"

namespace corvel::security {
namespace {

using namespace std::chrono_literals;

class BruteForceGuardTest : public ::testing::Test {
 protected:
  BruteForceGuard::Clock::time_point at(std::chrono::seconds s) const { return start_ + s; }

  BruteForceGuard guard_ = BruteForceGuard::host();
  BruteForceGuard::Clock::time_point start_{std::chrono::hours(1000)};
};

TEST_F(BruteForceGuardTest, FifthFailureWithinTenMinutesBlocksForFifteen) {
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(guard_.recordFailure("10.0.0.1", at(i * 100s)));
    EXPECT_FALSE(guard_.isBlocked("10.0.0.1", at(i * 100s)));
  }
  const auto blockedAt = at(599s);
  EXPECT_TRUE(guard_.recordFailure("10.0.0.1", blockedAt));
  EXPECT_TRUE(guard_.isBlocked("10.0.0.1", blockedAt + 899s));
  EXPECT_FALSE(guard_.isBlocked("10.0.0.1", blockedAt + 900s));
  EXPECT_FALSE(guard_.isBlocked("10.0.0.2", blockedAt));

  // The lockout cleared the count: one new failure afterwards does not block again.
  EXPECT_FALSE(guard_.recordFailure("10.0.0.1", blockedAt + 901s));
  EXPECT_FALSE(guard_.isBlocked("10.0.0.1", blockedAt + 901s));
}

TEST_F(BruteForceGuardTest, FailuresOlderThanTheWindowDoNotCount) {
  // One failure every 151 s: never more than four inside any 600 s.
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(guard_.recordFailure("a", at(i * 151s))) << i;
  }
  // Exactly 600 s old is outside the window.
  BruteForceGuard g = BruteForceGuard::host();
  for (int i = 0; i < 4; ++i) g.recordFailure("b", at(0s));
  EXPECT_FALSE(g.recordFailure("b", at(600s)));
}

TEST_F(BruteForceGuardTest, ResetUnblocksAndKeysStayIndependent) {
  for (int i = 0; i < 4; ++i) guard_.recordFailure("a", at(1s));
  for (int i = 0; i < 4; ++i) guard_.recordFailure("b", at(1s));
  EXPECT_TRUE(guard_.recordFailure("a", at(2s)));
  EXPECT_TRUE(guard_.isBlocked("a", at(3s)));
  EXPECT_FALSE(guard_.isBlocked("b", at(3s)));

  guard_.reset("a");
  EXPECT_FALSE(guard_.isBlocked("a", at(3s)));
  guard_.reset("b");
  EXPECT_FALSE(guard_.recordFailure("b", at(4s)));  // b's four earlier failures are gone
}

TEST_F(BruteForceGuardTest, ManyPartiesDoNotDisturbAnActiveLockout) {
  for (int i = 0; i < 5; ++i) guard_.recordFailure("attacker", at(0s));
  // Enough one-off failures from other addresses to trigger housekeeping several times.
  for (int i = 0; i < 2000; ++i) guard_.recordFailure("198.51.100." + std::to_string(i), at(100s));
  EXPECT_TRUE(guard_.isBlocked("attacker", at(899s)));
  for (int i = 0; i < 3; ++i) guard_.recordFailure("z", at(700s));
  for (int i = 0; i < 2000; ++i) guard_.recordFailure("203.0.113." + std::to_string(i), at(800s));
  EXPECT_FALSE(guard_.recordFailure("z", at(801s)));
  EXPECT_TRUE(guard_.recordFailure("z", at(802s)));
}

}  // namespace
}  // namespace corvel::security
