#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace corvel::security {

// Limits how often one remote party may fail to prove it knows the access code: `maxAttempts`
// failures within a sliding `window` lock the party out for `lockout`. A plain value with no clock
// or lock of its own: every call is given the time, and the owner serialises access.
class BruteForceGuard {
 public:
  using Clock = std::chrono::steady_clock;
  using Seconds = std::chrono::duration<double>;

  // The host's guard: the 5th failure within 10 minutes blocks for 15 minutes.
  static BruteForceGuard host() { return BruteForceGuard(5, Seconds(600), Seconds(900)); }

  BruteForceGuard(std::size_t maxAttempts, Seconds window, Seconds lockout);

  // True while the key's lockout ends strictly after `now`.
  bool isBlocked(const std::string& key, Clock::time_point now) const;
  // True when the key is blocked, or when it has failed before and its failures within the window
  // and its `undecided` attempts (under way, outcome not known yet) would reach the limit if they
  // all failed: a party near its limit gets one guess at a time, however many it starts at once.
  bool refuses(const std::string& key, std::size_t undecided, Clock::time_point now) const;
  // Records a failure; true when this failure starts a lockout.
  bool recordFailure(const std::string& key, Clock::time_point now);
  // Forgets the key's failures and any lockout.
  void reset(const std::string& key);

 private:
  void forgetStale(Clock::time_point now);

  std::size_t maxAttempts_;
  Seconds window_;
  Seconds lockout_;
  std::map<std::string, std::vector<Clock::time_point>> attempts_;
  std::map<std::string, Clock::time_point> blockedUntil_;
  std::size_t recordsSinceSweep_ = 0;
};

}  // namespace corvel::security
