#pragma once

#include <filesystem>

#include "CorvelKit/base/UniqueFd.h"

namespace corvel {

// An advisory lock (flock) on a lock file beside the data it guards, held for the object's life,
// so that processes sharing a file read and change it one at a time. Without a lock file (the
// folder can't be written) the guard holds nothing and the caller goes on unguarded.
class FileLock {
 public:
  enum class Mode { shared, exclusive };
  FileLock(const std::filesystem::path& lockFile, Mode mode);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

}  // namespace corvel
