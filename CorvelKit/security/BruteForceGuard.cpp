#include "CorvelKit/security/BruteForceGuard.h"

#include <algorithm>

namespace corvel::security {

namespace {
// Stale entries are swept after this many failures, so that many parties failing once each
// (addresses are cheap) cannot grow the guard without end.
constexpr std::size_t kSweepInterval = 256;
}  // namespace

BruteForceGuard::BruteForceGuard(std::size_t maxAttempts, Seconds window, Seconds lockout)
    : maxAttempts_(maxAttempts), window_(window), lockout_(lockout) {}

bool BruteForceGuard::isBlocked(const std::string& key, Clock::time_point now) const {
  auto it = blockedUntil_.find(key);
  return it != blockedUntil_.end() && it->second > now;
}

bool BruteForceGuard::refuses(const std::string& key, std::size_t undecided,
                              Clock::time_point now) const {
  if (isBlocked(key, now)) return true;
  auto it = attempts_.find(key);
  if (it == attempts_.end()) return false;
  const auto failures = static_cast<std::size_t>(std::count_if(
      it->second.begin(), it->second.end(), [&](Clock::time_point t) { return now - t < window_; }));
  return failures > 0 && failures + undecided >= maxAttempts_;
}

bool BruteForceGuard::recordFailure(const std::string& key, Clock::time_point now) {
  if (++recordsSinceSweep_ >= kSweepInterval) forgetStale(now);

  auto& times = attempts_[key];
  std::erase_if(times, [&](Clock::time_point t) { return !(now - t < window_); });
  times.push_back(now);
  if (times.size() < maxAttempts_) return false;

  blockedUntil_[key] =
      now + std::chrono::duration_cast<Clock::duration>(lockout_);
  attempts_.erase(key);
  return true;
}

void BruteForceGuard::reset(const std::string& key) {
  attempts_.erase(key);
  blockedUntil_.erase(key);
}

// Drops what can no longer change an answer: lockouts that have ended and failures that have left
// the window. Nothing observable changes.
void BruteForceGuard::forgetStale(Clock::time_point now) {
  recordsSinceSweep_ = 0;
  std::erase_if(blockedUntil_, [&](const auto& entry) { return !(entry.second > now); });
  std::erase_if(attempts_, [&](const auto& entry) {
    return std::none_of(entry.second.begin(), entry.second.end(),
                        [&](Clock::time_point t) { return now - t < window_; });
  });
}

}  // namespace corvel::security
