#include "Ambrel_Host/shell/RemotePrint.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("print"); }

bool isDocumentName(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;  // hidden: a write under way
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".pdf";
}

// The inbox's path inside the script's double quotes: the characters the shell still reads
// there are escaped, so an unusual folder name stays a name.
std::string quotedForShell(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

struct RemotePrint::Watch {
  Watch(const corvel::Executor& executor, int fd) : descriptor(executor, fd), timer(executor) {}
  boost::asio::posix::stream_descriptor descriptor;
  boost::asio::steady_timer timer;
  alignas(inotify_event) std::array<char, 8192> buffer{};
};

std::shared_ptr<RemotePrint> RemotePrint::make(Options options) {
  return std::make_shared<RemotePrint>(std::move(options));
}

RemotePrint::RemotePrint(Options options) : options_(std::move(options)) {}

RemotePrint::~RemotePrint() { stop(); }

std::filesystem::path RemotePrint::defaultInbox() { return corvel::Paths::dataFolder() / "Print"; }

std::filesystem::path RemotePrint::defaultServiceScript() {
  return corvel::Paths::dataFolder() / "Print with Ambrel";
}

std::string RemotePrint::serviceScriptText(const std::filesystem::path& inbox) {
  return "#!/bin/sh\n"
         "# Installed by Ambrel Host: sends this document to your iPhone or iPad to print.\n"
         "name=$(printf '%s' \"$1\" | tr '/:' '--')\n"
         "[ -z \"$name\" ] && name=\"Document\"\n"
         "cp \"$3\" \"" +
         quotedForShell(inbox.string()) + "/$name.pdf\"";
}

bool RemotePrint::isWatching() const { return watch_ != nullptr; }

void RemotePrint::start() {
  std::error_code ec;
  std::filesystem::create_directories(options_.inbox, ec);
  ::chmod(options_.inbox.c_str(), 0700);

  if (!options_.serviceScript.empty()) {
    const auto text = serviceScriptText(options_.inbox);
    if (auto failed = corvel::AtomicFile::write(
            options_.serviceScript,
            corvel::ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0755)) {
      log().error("couldn't install PDF service: {}", failed.message());
    }
  }

  stop();
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    log().error("can't watch the print inbox: {}", std::strerror(errno));
    return;
  }
  if (::inotify_add_watch(fd, options_.inbox.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    log().error("can't watch the print inbox: {}", std::strerror(errno));
    ::close(fd);
    return;
  }
  watch_ = std::make_unique<Watch>(options_.executor, fd);
  readEvents();
}

void RemotePrint::stop() {
  if (!watch_) return;
  boost::system::error_code ignored;
  watch_->timer.cancel();
  watch_->descriptor.close(ignored);
  // The cancelled handlers still run later; they find the watch gone through the weak pointer
  // or a new watch whose buffer they don't touch.
  watch_.reset();
  scanScheduled_ = false;
  pending_.clear();
}

void RemotePrint::readEvents() {
  auto* watch = watch_.get();
  watch->descriptor.async_read_some(
      boost::asio::buffer(watch->buffer),
      [weak = weak_from_this(), watch](const boost::system::error_code& ec, std::size_t size) {
        auto self = weak.lock();
        if (!self || ec || self->watch_.get() != watch) return;
        std::size_t at = 0;
        while (at + sizeof(inotify_event) <= size) {
          inotify_event event;
          std::memcpy(&event, watch->buffer.data() + at, sizeof event);
          const char* name = watch->buffer.data() + at + sizeof event;
          if (event.len > 0 && at + sizeof event + event.len <= size) {
            self->arrived(std::string(name, ::strnlen(name, event.len)));
          }
          at += sizeof event + event.len;
        }
        self->readEvents();
      });
}

void RemotePrint::arrived(const std::string& name) {
  if (!isDocumentName(name)) return;
  pending_.insert(name);
  if (scanScheduled_) return;
  scanScheduled_ = true;
  auto* watch = watch_.get();
  watch->timer.expires_after(options_.scanDelay);
  watch->timer.async_wait([weak = weak_from_this(), watch](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self || ec || self->watch_.get() != watch) return;
    self->scan();
  });
}

void RemotePrint::scan() {
  scanScheduled_ = false;
  auto names = std::move(pending_);
  pending_.clear();
  for (const auto& name : names) {
    const auto path = options_.inbox / name;
    std::error_code ec;
    // Only documents themselves: a link could point anywhere.
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) continue;
    log().info("print job: {}", name);
    if (options_.onDocument) options_.onDocument(path);
  }
}

}  // namespace ambrel
