#include "Ambrel_Host/wayland/MutterClipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "Ambrel_Host/shell/BusConnection.h"
#include "Ambrel_Host/wayland/SdBusHandles.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
// The text types offered, and the ones read, best first.
constexpr const char* kOffered[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING", "TEXT"};
constexpr const char* kReadable[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};
// A clipboard's text is read for at most this long, and at most this much of it.
constexpr auto kReadTimeout = std::chrono::seconds(2);
constexpr std::size_t kMaxText = 16 * 1024 * 1024;

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("clipboard");
  return logger;
}

}  // namespace

struct MutterClipboard::Session {
  SdBus bus;
  std::string path;
  SdBusSlot ownerMatch, transferMatch, closedMatch;
  bool closed = false;
  // Signals seen during sd_bus_process, handled after it.
  struct OwnerChange {
    bool ours = false;
    std::vector<std::string> types;
  };
  std::vector<OwnerChange> ownerChanges;
  std::vector<std::pair<std::string, std::uint32_t>> transfers;

  ~Session() {
    if (bus && !path.empty() && !closed) {
      sd_bus_message* raw = nullptr;
      if (sd_bus_message_new_method_call(bus.get(), &raw, kRemoteDesktop, path.c_str(), kSessionInterface, "Stop") >=
          0) {
        SdBusMessage stop(raw);
        sd_bus_message_set_expect_reply(stop.get(), 0);
        (void)sd_bus_send(bus.get(), stop.get(), nullptr);
      }
    }
  }
};

namespace {

int onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
  auto& s = *static_cast<MutterClipboard::Session*>(data);
  MutterClipboard::Session::OwnerChange change;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return 0;
    if (std::strcmp(key, "mime-types") == 0) {
      // mutter sends the list inside a structure, "(as)"; a bare "as" is read as well.
      const char* contents = nullptr;
      if (sd_bus_message_peek_type(m, nullptr, &contents) < 0 || contents == nullptr) return 0;
      const bool wrapped = std::strcmp(contents, "(as)") == 0;
      if (sd_bus_message_enter_container(m, 'v', contents) < 0) return 0;
      if (wrapped && sd_bus_message_enter_container(m, 'r', "as") < 0) return 0;
      if (sd_bus_message_enter_container(m, 'a', "s") >= 0) {
        const char* type = nullptr;
        while (sd_bus_message_read(m, "s", &type) > 0) change.types.emplace_back(type);
        sd_bus_message_exit_container(m);
      }
      if (wrapped) sd_bus_message_exit_container(m);
      sd_bus_message_exit_container(m);
    } else if (std::strcmp(key, "session-is-owner") == 0 && sd_bus_message_enter_container(m, 'v', "b") >= 0) {
      int ours = 0;
      if (sd_bus_message_read(m, "b", &ours) < 0) return 0;
      change.ours = ours != 0;
      sd_bus_message_exit_container(m);
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return 0;
    }
    sd_bus_message_exit_container(m);
  }
  s.ownerChanges.push_back(std::move(change));
  return 0;
}

int onTransfer(sd_bus_message* m, void* data, sd_bus_error*) {
  auto& s = *static_cast<MutterClipboard::Session*>(data);
  const char* type = nullptr;
  std::uint32_t serial = 0;
  if (sd_bus_message_read(m, "su", &type, &serial) >= 0) s.transfers.emplace_back(type, serial);
  return 0;
}

int onClosed(sd_bus_message*, void* data, sd_bus_error*) {
  static_cast<MutterClipboard::Session*>(data)->closed = true;
  return 0;
}

// Calls a session method that returns a descriptor; a copy of it, or -1.
int callForFd(MutterClipboard::Session& s, const char* method, const char* signature, const void* argument) {
  SdBusError error;
  sd_bus_message* reply = nullptr;
  int r = 0;
  if (signature[0] == 's') {
    r = sd_bus_call_method(s.bus.get(), kRemoteDesktop, s.path.c_str(), kSessionInterface, method, error.get(), &reply,
                           "s", static_cast<const char*>(argument));
  } else {
    r = sd_bus_call_method(s.bus.get(), kRemoteDesktop, s.path.c_str(), kSessionInterface, method, error.get(), &reply,
                           "u", *static_cast<const std::uint32_t*>(argument));
  }
  SdBusMessage owned(reply);
  int fd = -1;
  if (r < 0 || sd_bus_message_read(owned.get(), "h", &fd) < 0) {
    log().warn("{} failed: {}", method, error.text(r));
    return -1;
  }
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

}  // namespace

corvel::Expected<std::shared_ptr<MutterClipboard>, std::error_code> MutterClipboard::open(
    std::optional<std::string> busAddress) {
  auto s = std::make_unique<Session>();
  sd_bus* raw = nullptr;
  if (int r = openBus(&raw, busAddress, BusKind::session); r < 0) {
    return corvel::Unexpected<std::error_code>{std::error_code(-r, std::generic_category())};
  }
  s->bus.reset(raw);
  SdBusError error;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(s->bus.get(), kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop,
                             "CreateSession", error.get(), &reply, "");
  SdBusMessage created(reply);
  const char* path = nullptr;
  if (r < 0 || sd_bus_message_read(created.get(), "o", &path) < 0) {
    log().warn("mutter refused a session for the clipboard: {}", error.text(r));
    return corvel::Unexpected<std::error_code>{std::make_error_code(std::errc::connection_refused)};
  }
  s->path = path;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal(s->bus.get(), &slot, kRemoteDesktop, s->path.c_str(), kSessionInterface,
                          "SelectionOwnerChanged", onOwnerChanged, s.get()) >= 0) {
    s->ownerMatch.reset(slot);
  }
  if (sd_bus_match_signal(s->bus.get(), &slot, kRemoteDesktop, s->path.c_str(), kSessionInterface,
                          "SelectionTransfer", onTransfer, s.get()) >= 0) {
    s->transferMatch.reset(slot);
  }
  if (sd_bus_match_signal(s->bus.get(), &slot, kRemoteDesktop, s->path.c_str(), kSessionInterface, "Closed",
                          onClosed, s.get()) >= 0) {
    s->closedMatch.reset(slot);
  }
  for (const char* method : {"Start", "EnableClipboard"}) {
    reply = nullptr;
    r = std::strcmp(method, "Start") == 0
            ? sd_bus_call_method(s->bus.get(), kRemoteDesktop, s->path.c_str(), kSessionInterface, method,
                                 error.get(), &reply, "")
            : sd_bus_call_method(s->bus.get(), kRemoteDesktop, s->path.c_str(), kSessionInterface, method,
                                 error.get(), &reply, "a{sv}", 0);
    SdBusMessage done(reply);
    if (r < 0) {
      log().warn("mutter's clipboard session: {} failed: {}", method, error.text(r));
      return corvel::Unexpected<std::error_code>{std::make_error_code(std::errc::connection_refused)};
    }
  }
  return std::shared_ptr<MutterClipboard>(new MutterClipboard(std::move(s)));
}

MutterClipboard::MutterClipboard(std::unique_ptr<Session> session)
    : session_(std::move(session)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  thread_ = std::thread([this] { run(); });
}

MutterClipboard::~MutterClipboard() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
}

void MutterClipboard::wake() {
  const std::uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
    log().warn("couldn't wake the clipboard thread: {}", std::strerror(errno));
  }
}

Clipboard::Snapshot MutterClipboard::read() {
  std::lock_guard lock(mutex_);
  return snapshot_;
}

std::int64_t MutterClipboard::write(std::string text) {
  std::int64_t count = 0;
  {
    std::lock_guard lock(mutex_);
    count = ++snapshot_.changeCount;
    snapshot_.text = text;
    snapshot_.pending = false;
    offered_ = std::move(text);
    offerPending_ = true;
  }
  wake();
  return count;
}

void MutterClipboard::run() {
  Session& s = *session_;
  for (;;) {
    bool offer = false;
    std::string offered;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      offer = std::exchange(offerPending_, false);
      if (offered_) offered = *offered_;
    }
    if (offer && !s.closed) {
      // SetSelection({"mime-types": [...]}).
      sd_bus_message* raw = nullptr;
      int r = sd_bus_message_new_method_call(s.bus.get(), &raw, kRemoteDesktop, s.path.c_str(), kSessionInterface,
                                             "SetSelection");
      SdBusMessage call(raw);
      if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "{sv}");
      if (r >= 0) r = sd_bus_message_open_container(call.get(), 'e', "sv");
      if (r >= 0) r = sd_bus_message_append(call.get(), "s", "mime-types");
      if (r >= 0) r = sd_bus_message_open_container(call.get(), 'v', "as");
      if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "s");
      for (const char* type : kOffered) {
        if (r >= 0) r = sd_bus_message_append(call.get(), "s", type);
      }
      for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(call.get());
      SdBusError error;
      sd_bus_message* reply = nullptr;
      if (r >= 0) r = sd_bus_call(s.bus.get(), call.get(), 5'000'000, error.get(), &reply);
      SdBusMessage done(reply);
      if (r < 0) log().warn("couldn't take the clipboard: {}", error.text(r));
    }

    int r = 0;
    while ((r = sd_bus_process(s.bus.get(), nullptr)) > 0) {
    }
    if (r < 0 || s.closed) {
      log().warn("mutter closed the clipboard session; the clipboard is no longer shared");
      return;
    }
    for (auto& [type, serial] : std::exchange(s.transfers, {})) {
      const int fd = callForFd(s, "SelectionWrite", "u", &serial);
      bool ok = false;
      if (fd >= 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        std::size_t written = 0;
        while (written < offered.size()) {
          const auto n = ::write(fd, offered.data() + written, offered.size() - written);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          written += static_cast<std::size_t>(n);
        }
        ok = written == offered.size();
        ::close(fd);
      }
      SdBusError error;
      sd_bus_message* reply = nullptr;
      const int done = sd_bus_call_method(s.bus.get(), kRemoteDesktop, s.path.c_str(), kSessionInterface,
                                          "SelectionWriteDone", error.get(), &reply, "ub", serial, ok ? 1 : 0);
      sd_bus_message_unref(reply);
      if (done < 0) log().warn("SelectionWriteDone failed: {}", error.text(done));
    }
    for (auto& change : std::exchange(s.ownerChanges, {})) {
      if (change.ours) continue;  // this host's own write, counted then
      const char* type = nullptr;
      for (const char* readable : kReadable) {
        for (const auto& t : change.types) {
          if (type == nullptr && t == readable) type = readable;
        }
      }
      std::int64_t count = 0;
      {
        std::lock_guard lock(mutex_);
        count = ++snapshot_.changeCount;
        snapshot_.text.reset();
        snapshot_.pending = type != nullptr;
      }
      if (type == nullptr) continue;
      const int fd = callForFd(s, "SelectionRead", "s", type);
      std::optional<std::string> text;
      if (fd >= 0) {
        std::string data;
        const auto deadline = std::chrono::steady_clock::now() + kReadTimeout;
        for (;;) {
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
          if (left.count() <= 0) break;
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
          char chunk[16384];
          const auto n = ::read(fd, chunk, sizeof chunk);
          if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
          if (n <= 0) {
            text = std::move(data);
            break;
          }
          data.append(chunk, static_cast<std::size_t>(n));
          if (data.size() > kMaxText) break;
        }
        ::close(fd);
      }
      std::lock_guard lock(mutex_);
      if (snapshot_.changeCount == count) {
        snapshot_.text = std::move(text);
        snapshot_.pending = false;
      }
    }

    pollfd fds[2] = {{sd_bus_get_fd(s.bus.get()), static_cast<short>(sd_bus_get_events(s.bus.get())), 0},
                     {wake_.get(), POLLIN, 0}};
    std::uint64_t timeout = 0;
    int wait = 1000;
    if (sd_bus_get_timeout(s.bus.get(), &timeout) > 0 && timeout != UINT64_MAX) wait = 50;
    if (::poll(fds, 2, wait) < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t value = 0;
      (void)::read(wake_.get(), &value, sizeof value);
    }
  }
}

}  // namespace ambrel
