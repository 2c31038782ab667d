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

// Attempts under way count as failures to come only for a party that has failed before, so
// parallel guesses cannot overshoot the limit while honest parties may connect many at once.
TEST_F(BruteForceGuardTest, UndecidedAttemptsCountOnlyForAPartyThatHasFailed) {
  struct Case {
    int failures;
    std::size_t undecided;
    bool refused;
  };
  for (const Case& c : {Case{0, 0, false}, Case{0, 7, false}, Case{1, 3, false}, Case{1, 4, true},
                        Case{4, 0, false}, Case{4, 1, true}, Case{5, 0, true}}) {
    BruteForceGuard guard = BruteForceGuard::host();
    for (int i = 0; i < c.failures; ++i) guard.recordFailure("10.0.0.1", at(std::chrono::seconds(i)));
    EXPECT_EQ(guard.refuses("10.0.0.1", c.undecided, at(10s)), c.refused)
        << c.failures << " failures, " << c.undecided << " under way";
    EXPECT_FALSE(guard.refuses("10.0.0.2", c.undecided, at(10s)));
  }
  // Failures that left the window no longer count.
  BruteForceGuard guard = BruteForceGuard::host();
  guard.recordFailure("10.0.0.1", at(0s));
  EXPECT_FALSE(guard.refuses("10.0.0.1", 4, at(601s)));
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
