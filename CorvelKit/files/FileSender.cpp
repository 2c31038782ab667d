#include "CorvelKit/files/FileSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"

namespace corvel::files {

using protocol::MessageType;

namespace {
std::error_code lastError() { return {errno, std::system_category()}; }
}  // namespace

Expected<std::shared_ptr<FileSender>, std::error_code> FileSender::make(
    const std::filesystem::path& file, Channel channel, std::optional<std::string> purpose) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Unexpected{lastError()};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Unexpected{lastError()};
  // A device or a pipe may never end and has no size to offer.
  if (!S_ISREG(st.st_mode)) return Unexpected{std::error_code(FileTransferErrc::notRegularFile)};
  protocol::FileOffer offer{UUID::random(), file.filename().string(), st.st_size, std::move(purpose)};
  return std::make_shared<FileSender>(std::move(fd), std::move(offer), std::move(channel));
}

FileSender::FileSender(UniqueFd file, protocol::FileOffer offer, Channel channel)
    : file_(std::move(file)), offer_(std::move(offer)), channel_(std::move(channel)) {}

void FileSender::start(Handlers handlers) {
  handlers_ = std::move(handlers);
  if (channel_.isSecure()) {
    if (auto encoded = JSONCoding::encode(offer_)) channel_.send(MessageType::fileOffer, *encoded, {});
  }
  buffer_.reserve(UUID::size + protocol::FileChunk::maxDataSize);
  pump();
}

void FileSender::cancel() {
  std::lock_guard lock(lock_);
  if (!stop_) stop_ = FileTransferErrc::cancelled;
}

void FileSender::refusedByPeer() {
  std::lock_guard lock(lock_);
  if (!stop_) stop_ = FileTransferErrc::refused;
}

// Sends chunks one after the other. A send that completes before it returns (a connection that
// completes at once) doesn't recurse: the loop goes on here instead.
void FileSender::pump() {
  for (;;) {
    std::error_code stop;
    {
      std::lock_guard lock(lock_);
      stop = stop_;
    }
    if (stop) return finish(stop);
    const auto done = sent_.load();
    const auto want = std::min<std::int64_t>(protocol::FileChunk::maxDataSize, offer_.size - done);
    if (want <= 0) return finish({});

    buffer_.resize(UUID::size + static_cast<std::size_t>(want));
    std::copy(offer_.id.raw().begin(), offer_.id.raw().end(), buffer_.begin());
    std::int64_t got = 0;
    while (got < want) {
      const auto n = ::pread(file_.get(), buffer_.data() + UUID::size + got,
                             static_cast<std::size_t>(want - got), done + got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return finish(lastError());
      if (n == 0) return finish(FileTransferErrc::fileChanged);
      got += n;
    }

    {
      std::lock_guard lock(lock_);
      inSend_ = true;
      completedInside_ = false;
    }
    auto self = shared_from_this();
    channel_.send(MessageType::fileChunk, buffer_, [self, want](std::error_code ec) {
      {
        std::lock_guard lock(self->lock_);
        if (self->inSend_) {
          self->completedInside_ = true;
          self->inlineResult_ = ec;
          return;
        }
      }
      if (ec) return self->finish(ec);
      self->advance(want);
      self->pump();
    });
    std::error_code result;
    {
      std::lock_guard lock(lock_);
      inSend_ = false;
      if (!completedInside_) return;  // the completion goes on with the loop
      result = inlineResult_;
    }
    if (result) return finish(result);
    advance(want);
  }
}

void FileSender::advance(std::int64_t bytes) {
  const auto now = sent_ += bytes;
  if (handlers_.progress) {
    handlers_.progress(offer_.size < 1 ? 1.0 : static_cast<double>(now) / static_cast<double>(offer_.size));
  }
}

void FileSender::finish(std::error_code error) {
  {
    std::lock_guard lock(lock_);
    if (finished_) return;
    finished_ = true;
  }
  file_.reset();
  if (channel_.isSecure()) {
    if (auto encoded = JSONCoding::encode(protocol::FileEnd{offer_.id, static_cast<bool>(error)})) {
      channel_.send(MessageType::fileEnd, *encoded, {});
    }
  }
  auto handlers = std::move(handlers_);
  handlers_ = {};
  if (handlers.finish) handlers.finish(error);
}

}  // namespace corvel::files
