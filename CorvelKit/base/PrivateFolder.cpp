#include "CorvelKit/base/PrivateFolder.h"

#include <cerrno>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace corvel {

namespace {
std::error_code lastError() { return {errno, std::generic_category()}; }
}  // namespace

std::error_code PrivateFolder::create(const std::filesystem::path& path) {
  // The missing folders, outermost first.
  std::vector<std::filesystem::path> missing;
  for (auto p = path; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::not_a_directory);
      break;
    }
    if (errno != ENOENT) return lastError();
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;  // made meanwhile by someone else: left as it is
      return lastError();
    }
    // mkdir honours the umask, which may take bits away but never adds them; chmod makes it
    // exactly 0700.
    if (::chmod(it->c_str(), 0700) != 0) return lastError();
  }
  return {};
}

std::error_code PrivateFolder::ensure(const std::filesystem::path& path) {
  if (auto ec = create(path)) return ec;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return lastError();
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
    return std::make_error_code(std::errc::permission_denied);
  }
  return {};
}

}  // namespace corvel
