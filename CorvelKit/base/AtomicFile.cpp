#include "CorvelKit/base/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "CorvelKit/base/PrivateFolder.h"
#include "CorvelKit/base/UniqueFd.h"

namespace corvel {

namespace {
std::error_code lastError() { return {errno, std::generic_category()}; }

std::error_code writeAll(int fd, ByteView data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

// Temporary files that writers of `path` left behind (".NAME.XXXXXX", as mkstemp made them) and
// that are old enough not to be a write under way.
void removeStaleTemporaries(const std::filesystem::path& dir, const std::string& name) {
  const std::string prefix = "." + name + ".";
  const auto cutoff = std::filesystem::file_time_type::clock::now() - AtomicFile::staleAfter;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const auto candidate = entry.path().filename().string();
    if (candidate.size() != prefix.size() + 6 || !candidate.starts_with(prefix)) continue;
    std::error_code ignored;
    if (!entry.is_regular_file(ignored) || entry.last_write_time(ignored) > cutoff || ignored) continue;
    std::filesystem::remove(entry.path(), ignored);
  }
}
}  // namespace

std::error_code AtomicFile::write(const std::filesystem::path& path, ByteView contents,
                                  mode_t mode) {
  auto dir = path.parent_path();
  if (dir.empty()) dir = ".";
  if (auto ec = PrivateFolder::create(dir)) return ec;

  std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  int raw = ::mkstemp(tmpl.data());
  if (raw < 0) return lastError();
  UniqueFd fd(raw);
  auto fail = [&](std::error_code e) {
    ::unlink(tmpl.c_str());
    return e;
  };
  if (::fchmod(fd.get(), mode) != 0) return fail(lastError());
  if (auto e = writeAll(fd.get(), contents)) return fail(e);
  if (::fsync(fd.get()) != 0) return fail(lastError());
  fd.reset();
  if (::rename(tmpl.c_str(), path.c_str()) != 0) return fail(lastError());

  // Make the rename itself durable.
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd) ::fsync(dirFd.get());
  removeStaleTemporaries(dir, path.filename().string());
  return {};
}

std::optional<Bytes> AtomicFile::read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

}  // namespace corvel
