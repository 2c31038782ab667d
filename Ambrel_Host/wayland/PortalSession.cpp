#include "Ambrel_Host/wayland/PortalSession.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <random>

#include "Ambrel_Host/shell/BusConnection.h"
#include "Ambrel_Host/wayland/MutterMonitor.h"
#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

// Source types and cursor modes of the ScreenCast interface, the persist mode "until revoked".
constexpr std::uint32_t kMonitorSource = 1;
constexpr std::uint32_t kEmbeddedCursor = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("app");
  return logger;
}

// A variant of one basic type (`type` "s", "o", "u", ...) read into `out`.
template <class T>
bool readVariant(sd_bus_message* m, const char* type, T* out) {
  return sd_bus_message_enter_container(m, 'v', type) >= 0 && sd_bus_message_read_basic(m, type[0], out) >= 0 &&
         sd_bus_message_exit_container(m) >= 0;
}

bool readPair(sd_bus_message* m, int& a, int& b) {
  std::int32_t first = 0, second = 0;
  if (sd_bus_message_enter_container(m, 'v', "(ii)") < 0 || sd_bus_message_read(m, "(ii)", &first, &second) < 0 ||
      sd_bus_message_exit_container(m) < 0) {
    return false;
  }
  a = first;
  b = second;
  return true;
}

// The streams of Start's results: a(ua{sv}), each with its position and size.
bool readStreams(sd_bus_message* m, std::vector<PortalSession::Stream>& out) {
  if (sd_bus_message_enter_container(m, 'v', "a(ua{sv})") < 0) return false;
  if (sd_bus_message_enter_container(m, 'a', "(ua{sv})") < 0) return false;
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'r', "ua{sv}");
    if (r < 0) return false;
    if (r == 0) break;
    PortalSession::Stream stream;
    std::string id;
    if (sd_bus_message_read(m, "u", &stream.node) < 0) return false;
    auto& d = stream.display;
    if (!readProperties(m, [&](std::string_view key) {
          if (key == "position") return readPair(m, d.x, d.y);
          if (key == "size") return readPair(m, d.width, d.height);
          if (key == "id") {
            const char* text = nullptr;
            if (!readVariant(m, "s", &text)) return false;
            id = text;
            return true;
          }
          return false;
        })) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
    // The portal's own identifier of a restored stream stays across sessions; without one, the
    // stream's place in the list.
    const std::string key = "portal " + (id.empty() ? std::to_string(out.size()) : id);
    d.id = MutterMonitor::identifierOf(key);
    d.name = "Screen " + std::to_string(out.size() + 1);
    if (d.width > 0 && d.height > 0) out.push_back(std::move(stream));
  }
  return sd_bus_message_exit_container(m) >= 0 && sd_bus_message_exit_container(m) >= 0;
}

std::string randomToken() {
  std::random_device device;
  return "ambrel" + std::to_string(device() & 0xFFFFFFu);
}

std::optional<std::string> readToken(const std::filesystem::path& file) {
  if (file.empty()) return std::nullopt;
  auto bytes = corvel::AtomicFile::read(file);
  if (!bytes || bytes->empty()) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

}  // namespace

corvel::Expected<std::shared_ptr<PortalSession>, std::string> PortalSession::open(Options options) {
  sd_bus* raw = nullptr;
  if (openBus(&raw, options.busAddress, BusKind::session) < 0) {
    return corvel::Unexpected<std::string>{"the session bus can't be reached"};
  }
  std::shared_ptr<PortalSession> session(new PortalSession());
  session->bus_.reset(raw);
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(raw, &unique) < 0 || unique == nullptr) {
    return corvel::Unexpected<std::string>{"no name on the session bus"};
  }
  // ":1.42" → "1_42", as the portal names the requests of this connection.
  std::string sender = unique[0] == ':' ? unique + 1 : unique;
  std::replace(sender.begin(), sender.end(), '.', '_');
  session->senderPart_ = sender;
  std::lock_guard lock(session->mutex_);
  if (auto failed = session->start(options)) return corvel::Unexpected{std::move(*failed)};
  return session;
}

PortalSession::~PortalSession() {
  std::lock_guard lock(mutex_);
  if (!bus_ || sessionPath_.empty() || closed_) return;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_.get(), &raw, kService, sessionPath_.c_str(), kSession, "Close") >= 0) {
    SdBusMessage close(raw);
    sd_bus_message_set_expect_reply(close.get(), 0);
    (void)sd_bus_send(bus_.get(), close.get(), nullptr);
  }
}

corvel::Expected<SdBusMessage, std::string> PortalSession::request(
    const char* interface, const char* method, const std::function<int(sd_bus_message*, const char*)>& append,
    std::chrono::milliseconds timeout) {
  sd_bus* bus = bus_.get();
  const std::string token = randomToken() + "_" + std::to_string(++requests_);
  // The portal answers on a request object whose path this connection can tell in advance: listen
  // there before asking, so the answer can't come first.
  std::string path = std::string(kPath) + "/request/" + senderPart_ + "/" + token;
  SdBusMessage response;
  const auto onResponse = [](sd_bus_message* m, void* out, sd_bus_error*) {
    static_cast<SdBusMessage*>(out)->reset(sd_bus_message_ref(m));
    return 0;
  };
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_match_signal(bus, &slot, kService, path.c_str(), kRequest, "Response", onResponse, &response);
  SdBusSlot match(slot);
  if (r < 0) return corvel::Unexpected{std::string("can't listen for the portal's answers: ") + std::strerror(-r)};

  sd_bus_message* raw = nullptr;
  r = sd_bus_message_new_method_call(bus, &raw, kService, kPath, interface, method);
  SdBusMessage call(raw);
  if (r >= 0) r = append(call.get(), token.c_str());
  if (r < 0) return corvel::Unexpected{std::string("can't ask the portal: ") + std::strerror(-r)};
  SdBusError error;
  raw = nullptr;
  r = sd_bus_call(bus, call.get(), 0, error.get(), &raw);
  SdBusMessage reply(raw);
  const char* handle = nullptr;
  if (r < 0 || sd_bus_message_read(reply.get(), "o", &handle) < 0) {
    return corvel::Unexpected{std::string("the desktop portal refused ") + method + " (" + error.text(r) + ")"};
  }
  SdBusSlot otherMatch;
  if (handle != path) {
    // An older portal names the request itself.
    path = handle;
    slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, kService, path.c_str(), kRequest, "Response", onResponse, &response) >= 0) {
      otherMatch.reset(slot);
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!response && !closed_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return corvel::Unexpected{std::string("the desktop portal did not answer ") + method + " in time"};
    }
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return corvel::Unexpected{std::string("the session bus closed during ") + method};
    if (r > 0) continue;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    (void)sd_bus_wait(bus, static_cast<std::uint64_t>(std::min<std::int64_t>(left.count(), 200'000)));
  }
  if (!response) return corvel::Unexpected{std::string("the portal closed the session during ") + method};
  std::uint32_t code = 2;
  if (sd_bus_message_read(response.get(), "u", &code) < 0) {
    return corvel::Unexpected{std::string("the desktop portal's answer to ") + method + " can't be read"};
  }
  switch (code) {
    case 0:
      return response;
    case 1:
      return corvel::Unexpected{std::string("the request to share the screen was cancelled at the desktop portal (") +
                                method + ")"};
    default:
      return corvel::Unexpected{std::string("the desktop portal ended the request to share the screen (") + method +
                                ", code " + std::to_string(code) + ")"};
  }
}

std::optional<std::string> PortalSession::start(const Options& options) {
  sd_bus* bus = bus_.get();
  // CreateSession: a session handle in the results.
  const std::string sessionToken = randomToken();
  auto created = request(
      kRemoteDesktop, "CreateSession",
      [&](sd_bus_message* m, const char* token) {
        return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token, "session_handle_token", "s",
                                     sessionToken.c_str());
      },
      options.requestTimeout);
  if (!created) return created.error();
  std::string sessionPath;
  if (!readProperties(created->get(), [&](std::string_view key) {
        if (key != "session_handle") return false;
        // A string in the portal's description, an object path in some portals.
        const char* text = nullptr;
        if (sd_bus_message_enter_container(created->get(), 'v', nullptr) < 0) return false;
        char type = 0;
        if (sd_bus_message_peek_type(created->get(), &type, nullptr) <= 0) return false;
        if ((type != 's' && type != 'o') || sd_bus_message_read_basic(created->get(), type, &text) < 0) return false;
        sessionPath = text;
        return sd_bus_message_exit_container(created->get()) >= 0;
      }) ||
      sessionPath.empty()) {
    return std::string("the desktop portal made no remote desktop session");
  }
  sessionPath_ = sessionPath;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal(
          bus, &slot, kService, sessionPath_.c_str(), kSession, "Closed",
          [](sd_bus_message*, void* flag, sd_bus_error*) {
            *static_cast<bool*>(flag) = true;
            return 0;
          },
          &closed_) >= 0) {
    closedMatch_.reset(slot);
  }

  // SelectDevices: keyboard and pointer, kept until revoked, restoring the last session's choice.
  const auto kept = readToken(options.tokenFile);
  auto selected = request(
      kRemoteDesktop, "SelectDevices",
      [&](sd_bus_message* m, const char* token) {
        int r = sd_bus_message_append(m, "o", sessionPath_.c_str());
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token);
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "types", "u", keyboard | pointer);
        if (r >= 0 && !options.tokenFile.empty()) {
          r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
        }
        if (r >= 0 && kept) r = sd_bus_message_append(m, "{sv}", "restore_token", "s", kept->c_str());
        if (r >= 0) r = sd_bus_message_close_container(m);
        return r;
      },
      options.requestTimeout);
  if (!selected) return selected.error();

  // SelectSources: every monitor the owner picks, the cursor drawn in where the portal can.
  std::uint32_t cursorModes = 0;
  SdBusError error;
  (void)sd_bus_get_property_trivial(bus, kService, kPath, kScreenCast, "AvailableCursorModes", error.get(), 'u',
                                    &cursorModes);
  auto sources = request(
      kScreenCast, "SelectSources",
      [&](sd_bus_message* m, const char* token) {
        int r = sd_bus_message_append(m, "o", sessionPath_.c_str());
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token);
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "types", "u", kMonitorSource);
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 1);
        if (r >= 0 && (cursorModes & kEmbeddedCursor) != 0) {
          r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", kEmbeddedCursor);
        }
        if (r >= 0) r = sd_bus_message_close_container(m);
        return r;
      },
      options.requestTimeout);
  if (!sources) return sources.error();

  // Start: where the owner is asked (unless the restore token stands for their earlier answer).
  auto started = request(
      kRemoteDesktop, "Start",
      [&](sd_bus_message* m, const char* token) {
        return sd_bus_message_append(m, "osa{sv}", sessionPath_.c_str(), "", 1, "handle_token", "s", token);
      },
      options.startTimeout);
  if (!started) return started.error();
  std::optional<std::string> restoreToken;
  std::vector<Stream> streams;
  if (!readProperties(started->get(), [&](std::string_view key) {
        if (key == "devices") return readVariant(started->get(), "u", &devices_);
        if (key == "streams") return readStreams(started->get(), streams);
        if (key == "restore_token") {
          const char* text = nullptr;
          if (!readVariant(started->get(), "s", &text)) return false;
          restoreToken = text;
          return true;
        }
        return false;
      })) {
    return std::string("the desktop portal's answer to Start can't be read");
  }
  if (streams.empty()) return std::string("the desktop portal shared no screen");
  // Exactly one main display: the one at the layout's origin, else the first.
  auto primary = std::find_if(streams.begin(), streams.end(),
                           [](const Stream& s) { return s.display.x == 0 && s.display.y == 0; });
  if (primary == streams.end()) primary = streams.begin();
  primary->display.isMain = true;
  streams_ = std::move(streams);

  // Each token is good for one session: the new one replaces it (none: the owner chose not to
  // keep the choice, and the old one is spent).
  if (!options.tokenFile.empty()) {
    std::error_code stored;
    if (restoreToken && !restoreToken->empty()) {
      stored = corvel::AtomicFile::write(options.tokenFile, corvel::asBytes(*restoreToken), 0600);
    } else {
      std::filesystem::remove(options.tokenFile, stored);
    }
    if (stored) log().warn("can't keep the desktop portal's restore token: {}", stored.message());
  }
  log().info("desktop portal session with {} screen(s), input devices {}, {}", streams_.size(), devices_,
             restoreToken ? "kept for the next start" : "not kept");
  return std::nullopt;
}

int PortalSession::openPipeWireRemote() {
  std::lock_guard lock(mutex_);
  if (closed_) return -1;
  SdBusError error;
  sd_bus_message* raw = nullptr;
  const int r = sd_bus_call_method(bus_.get(), kService, kPath, kScreenCast, "OpenPipeWireRemote", error.get(), &raw,
                                   "oa{sv}", sessionPath_.c_str(), 0);
  SdBusMessage reply(raw);
  int fd = -1;
  if (r < 0 || sd_bus_message_read(reply.get(), "h", &fd) < 0) {
    log().warn("the desktop portal gave no connection to PipeWire: {}", error.text(r));
    return -1;
  }
  // The message owns the descriptor it carries.
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

void PortalSession::notify(const char* method, const char* signature, ...) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, kService, kPath, kRemoteDesktop, method);
  SdBusMessage call(raw);
  if (r >= 0) r = sd_bus_message_append(call.get(), "oa{sv}", sessionPath_.c_str(), 0);
  if (r >= 0) {
    va_list args;
    va_start(args, signature);
    r = sd_bus_message_appendv(call.get(), signature, args);
    va_end(args);
  }
  if (r >= 0) r = sd_bus_message_set_expect_reply(call.get(), 0);
  if (r >= 0) r = sd_bus_send(bus_.get(), call.get(), nullptr);
  if (r < 0) log().warn("couldn't send {} to the desktop portal: {}", method, std::strerror(-r));
}

void PortalSession::flush() {
  std::lock_guard lock(mutex_);
  readBus();
  if (!closed_ && sd_bus_flush(bus_.get()) < 0) closed_ = true;
}

bool PortalSession::isClosed() {
  std::lock_guard lock(mutex_);
  readBus();
  return closed_;
}

void PortalSession::readBus() {
  if (closed_) return;
  int r = 0;
  // Signals (the session's Closed) and stray messages are read here, so nothing piles up.
  while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  if (r < 0) closed_ = true;
  if (closed_) log().info("the desktop portal closed the remote desktop session");
}

}  // namespace ambrel
