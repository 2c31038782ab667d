#pragma once

#include <cstdint>
#include <optional>

namespace ambrel {

// Adapts an encoder's bit rate to how many captured frames had to be skipped in a statistics
// window: -30 % (never below 1.5 Mbit/s) when more than a tenth were skipped, +15 % (never above
// the target) from the third window in a row without any skipping. Windows with a little skipping
// change nothing. Pure arithmetic; the owner guards it.
class BitrateAdapter {
 public:
  static constexpr std::int64_t floor = 1'500'000;

  explicit BitrateAdapter(std::int64_t bitrate) : BitrateAdapter(bitrate, bitrate) {}
  BitrateAdapter(std::int64_t target, std::int64_t current) : target_(target), current_(current) {}

  // A new target: both the ceiling and the rate in use.
  void reset(std::int64_t bitrate) {
    target_ = bitrate;
    current_ = bitrate;
  }

  // Closes one window; returns the new rate when it changed.
  std::optional<std::int64_t> closeWindow(double skipRatio);

  std::int64_t target() const { return target_; }
  std::int64_t current() const { return current_; }
  int cleanWindows() const { return cleanWindows_; }

 private:
  std::int64_t target_;
  std::int64_t current_;
  int cleanWindows_ = 0;
};

}  // namespace ambrel
