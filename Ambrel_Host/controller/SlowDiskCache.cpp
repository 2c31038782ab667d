#include "Ambrel_Host/controller/SlowDiskCache.h"

#include <sys/statvfs.h>

#include <limits>

namespace ambrel {

SlowDiskCache::SlowDiskCache(std::shared_ptr<corvel::Clock> clock, std::filesystem::path volume,
                             Reader reader)
    : clock_(std::move(clock)), volume_(std::move(volume)), reader_(std::move(reader)) {}

std::optional<SlowDiskCache::Space> SlowDiskCache::read() {
  std::lock_guard lock(mutex_);
  auto now = clock_->now();
  if (cached_ && now - at_ < maxAge) return cached_;
  auto fresh = reader_(volume_);
  if (fresh) {
    cached_ = fresh;
    at_ = now;
  }
  return fresh;
}

std::optional<SlowDiskCache::Space> SlowDiskCache::statvfsReader(
    const std::filesystem::path& volume) {
  struct statvfs info {};
  if (::statvfs(volume.c_str(), &info) != 0) return std::nullopt;
  auto bytes = [&](unsigned long long blocks) -> std::int64_t {
    unsigned long long unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    constexpr auto max = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    if (unit != 0 && blocks > max / unit) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(blocks * unit);
  };
  return Space{.freeBytes = bytes(info.f_bavail), .totalBytes = bytes(info.f_blocks)};
}

SlowDiskCache& SlowDiskCache::shared() {
  static SlowDiskCache cache(corvel::Clock::system());
  return cache;
}

}  // namespace ambrel
