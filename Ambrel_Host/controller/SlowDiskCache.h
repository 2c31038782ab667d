#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "CorvelKit/base/Clock.h"

namespace ambrel {

// The free and total space of one volume, read at most once a minute: reading it can block on a
// slow or remote file system, and the status goes out every few seconds. Thread-safe.
class SlowDiskCache {
 public:
  struct Space {
    std::int64_t freeBytes = 0;   // available to ordinary users
    std::int64_t totalBytes = 0;
    friend bool operator==(const Space&, const Space&) = default;
  };
  using Reader = std::function<std::optional<Space>(const std::filesystem::path&)>;

  static constexpr std::chrono::seconds maxAge{60};

  explicit SlowDiskCache(std::shared_ptr<corvel::Clock> clock,
                         std::filesystem::path volume = "/", Reader reader = statvfsReader);

  // The cached values while they are younger than a minute, else a fresh read. A failed read
  // gives nothing and is not cached.
  std::optional<Space> read();

  // statvfs: available blocks to unprivileged users and total blocks, times the fragment size.
  static std::optional<Space> statvfsReader(const std::filesystem::path& volume);

  // The one instance the host uses, for "/".
  static SlowDiskCache& shared();

 private:
  const std::shared_ptr<corvel::Clock> clock_;
  const std::filesystem::path volume_;
  const Reader reader_;

  std::mutex mutex_;
  std::optional<Space> cached_;
  corvel::Clock::TimePoint at_{};
};

}  // namespace ambrel
