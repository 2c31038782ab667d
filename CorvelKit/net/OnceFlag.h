#pragma once

#include <mutex>

namespace corvel::net {

// Lets exactly one of several racing callbacks finish something: `claim` is true for the first
// caller only.
class OnceFlag {
 public:
  bool claim() {
    std::lock_guard lock(mutex_);
    if (claimed_) return false;
    claimed_ = true;
    return true;
  }

 private:
  std::mutex mutex_;
  bool claimed_ = false;
};

}  // namespace corvel::net
