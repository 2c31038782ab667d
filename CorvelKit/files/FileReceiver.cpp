#include "CorvelKit/files/FileReceiver.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "CorvelKit/files/SafeFileName.h"
#include "CorvelKit/protocol/FileChunk.h"

namespace corvel::files {

namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

// How many numbered names are tried before giving up ("name 2" … "name 9999").
constexpr int kLastNumber = 9999;

std::string partNameFor(const UUID& id) { return "." + id.string() + ".corvel-part"; }

// Writes all of `data` at `offset`.
std::error_code writeAll(int fd, ByteView data, std::int64_t offset) {
  while (!data.empty()) {
    const auto n = ::pwrite(fd, data.data(), data.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    if (n == 0) return std::make_error_code(std::errc::no_space_on_device);
    data = data.subspan(static_cast<std::size_t>(n));
    offset += n;
  }
  return {};
}

// Moves `from` to `to` inside one folder, failing with EEXIST rather than replacing anything
// (a dangling symbolic link included).
int renameNoReplace(int folder, const char* from, const char* to) {
  if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: a hard link fails the same way on an existing name.
  if (::linkat(folder, from, folder, to, 0) != 0) return -1;
  ::unlinkat(folder, from, 0);
  return 0;
}

}  // namespace

FileReceiver::FileReceiver(std::filesystem::path folder) : folder_(std::move(folder)) {}

FileReceiver::~FileReceiver() { cancelAll(); }

Expected<UniqueFd, std::error_code> FileReceiver::openFolder() {
  // The folders above are the user's to arrange (a link there is their choice); the receiving
  // folder itself must be a real folder.
  auto parent = folder_.parent_path();
  if (parent.empty()) parent = ".";
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  UniqueFd above(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!above) return Unexpected{lastError()};
  const auto leaf = folder_.filename();
  if (::mkdirat(above.get(), leaf.c_str(), 0777) != 0 && errno != EEXIST) {
    return Unexpected{lastError()};
  }
  UniqueFd folder(::openat(above.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return Unexpected{lastError()};
  return folder;
}

std::error_code FileReceiver::offer(const protocol::FileOffer& offer) {
  if (offer.size > maximumSize) return FileTransferErrc::outOfSpace;
  if (offer.size < 0) return FileTransferErrc::invalidOffer;
  std::lock_guard lock(mutex_);
  if (closed_) return FileTransferErrc::receiverClosed;
  if (auto same = incoming_.find(offer.id); same != incoming_.end()) {
    discard(same->second);
    incoming_.erase(same);
  }
  if (incoming_.size() >= maximumTransfers) return FileTransferErrc::tooManyTransfers;

  auto folder = openFolder();
  if (!folder) return folder.error();
  Incoming in;
  in.offer = offer;
  in.partName = partNameFor(offer.id);
  in.folder = std::move(*folder);
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  in.file.reset(::openat(in.folder.get(), in.partName.c_str(), flags, 0600));
  if (!in.file && errno == EEXIST) {
    // Left over from an earlier run (or put there): the entry goes, never what it points to.
    ::unlinkat(in.folder.get(), in.partName.c_str(), 0);
    in.file.reset(::openat(in.folder.get(), in.partName.c_str(), flags, 0600));
  }
  if (!in.file) return lastError();
  incoming_.emplace(offer.id, std::move(in));
  return {};
}

std::error_code FileReceiver::chunk(ByteView payload) {
  auto parsed = protocol::FileChunk::parse(payload);
  if (!parsed) return {};
  std::lock_guard lock(mutex_);
  auto it = incoming_.find(parsed->id);
  if (it == incoming_.end()) return FileTransferErrc::unknownTransfer;
  auto& in = it->second;
  const auto size = static_cast<std::int64_t>(parsed->data.size());
  if (size > in.offer.size - in.received) {
    discard(in);
    incoming_.erase(it);
    return FileTransferErrc::writeFailed;
  }
  if (auto ec = writeAll(in.file.get(), parsed->data, in.received)) {
    // Nothing can come of the rest of the file: give it up now rather than at its end.
    discard(in);
    incoming_.erase(it);
    return ec;
  }
  in.received += size;
  return {};
}

Expected<std::optional<FileReceiver::Completed>, std::error_code> FileReceiver::end(
    const protocol::FileEnd& end) {
  std::lock_guard lock(mutex_);
  auto it = incoming_.find(end.id);
  if (it == incoming_.end()) return std::optional<Completed>{};
  Incoming in = std::move(it->second);
  incoming_.erase(it);
  if (end.cancelled || in.received != in.offer.size) {
    discard(in);
    return std::optional<Completed>{};
  }
  if (::close(in.file.release()) != 0) {
    const auto ec = lastError();
    discard(in);
    return Unexpected{ec};
  }
  auto name = moveToFreeName(in);
  if (!name) {
    discard(in);
    return Unexpected{name.error()};
  }
  return std::optional<Completed>{Completed{folder_ / *name, in.received, in.offer.purpose}};
}

Expected<std::string, std::error_code> FileReceiver::moveToFreeName(Incoming& in) {
  const auto name = SafeFileName::make(in.offer.name);
  for (int n = 1; n <= kLastNumber; ++n) {
    const auto candidate = n == 1 ? name : SafeFileName::numbered(name, n);
    if (renameNoReplace(in.folder.get(), in.partName.c_str(), candidate.c_str()) == 0) {
      return candidate;
    }
    if (errno != EEXIST) return Unexpected{lastError()};
  }
  return Unexpected{std::error_code(FileTransferErrc::noFreeName)};
}

void FileReceiver::discard(Incoming& in) {
  in.file.reset();
  if (in.folder) ::unlinkat(in.folder.get(), in.partName.c_str(), 0);
}

void FileReceiver::cancelAll() {
  std::lock_guard lock(mutex_);
  for (auto& [id, in] : incoming_) discard(in);
  incoming_.clear();
}

void FileReceiver::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (auto& [id, in] : incoming_) discard(in);
  incoming_.clear();
}

bool FileReceiver::has(const UUID& id) const {
  std::lock_guard lock(mutex_);
  return incoming_.contains(id);
}

std::size_t FileReceiver::transfers() const {
  std::lock_guard lock(mutex_);
  return incoming_.size();
}

}  // namespace corvel::files
