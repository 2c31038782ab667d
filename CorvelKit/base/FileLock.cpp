#include "CorvelKit/base/FileLock.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>

#include "CorvelKit/base/PrivateFolder.h"

namespace corvel {

FileLock::FileLock(const std::filesystem::path& lockFile, Mode mode) {
  (void)PrivateFolder::create(lockFile.parent_path());
  UniqueFd fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return;
  int rc = 0;
  do {
    rc = ::flock(fd.get(), mode == Mode::shared ? LOCK_SH : LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) fd_ = std::move(fd);
}

FileLock::~FileLock() {
  if (fd_) ::flock(fd_.get(), LOCK_UN);
}

}  // namespace corvel
