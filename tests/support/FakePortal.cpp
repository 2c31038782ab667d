#include "tests/support/FakePortal.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <functional>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/wayland/MutterDisplaySource.h"
#include "tests/support/HeadlessMutter.h"

namespace corvel::test {

namespace {

using namespace std::chrono_literals;

constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kMutterRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kMutterScreenCast = "org.gnome.Mutter.ScreenCast";

sd_bus* connect(const std::string& address) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  return bus;
}

// The options a{sv} of a call, the string and number entries only.
struct CallOptions {
  std::map<std::string, std::string> strings;
  std::map<std::string, std::uint32_t> numbers;
};

bool readOptions(sd_bus_message* m, CallOptions& out) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0 || sd_bus_message_peek_type(m, nullptr, &contents) < 0) return false;
    if (std::strcmp(contents, "s") == 0) {
      const char* text = nullptr;
      if (sd_bus_message_read(m, "v", "s", &text) < 0) return false;
      out.strings[key] = text;
    } else if (std::strcmp(contents, "u") == 0) {
      std::uint32_t value = 0;
      if (sd_bus_message_read(m, "v", "u", &value) < 0) return false;
      out.numbers[key] = value;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

std::string senderPart(sd_bus_message* m) {
  std::string sender = sd_bus_message_get_sender(m);
  if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
  for (auto& c : sender) c = c == '.' ? '_' : c;
  return sender;
}

}  // namespace

struct FakePortal::State {
  Options options;
  std::string busAddress;
  std::filesystem::path pipewireSocket;
  sd_bus* portal = nullptr;  // serving thread only, after start
  sd_bus* mutter = nullptr;
  std::shared_ptr<ambrel::MutterDisplaySource> displays;
  std::atomic<bool> stopping{false};
  std::atomic<bool> running{false};
  std::thread thread;

  // The current session (serving thread only).
  std::string sessionHandle, remoteDesktopPath, screenCastPath;
  std::map<std::uint32_t, std::string> streamPaths;  // node → mutter's stream object
  int sessions = 0;

  mutable std::mutex mutex;  // guards the records below
  std::string errors;
  std::vector<DeviceSelection> selections;
  std::vector<std::uint32_t> cursorModes;
  std::vector<std::string> tokens;

  void fail(const std::string& what) {
    std::lock_guard lock(mutex);
    errors += what + "\n";
  }

  // Replies with the request's path, then answers on it (`fill` appends the results' entries).
  int answer(sd_bus_message* call, const std::string& handleToken, std::uint32_t code,
             const std::function<void(sd_bus_message*)>& fill = nullptr) {
    const std::string path = std::string(kPath) + "/request/" + senderPart(call) + "/" + handleToken;
    int r = sd_bus_reply_method_return(call, "o", path.c_str());
    if (r < 0) return r;
    sd_bus_message* signal = nullptr;
    r = sd_bus_message_new_signal(portal, &signal, path.c_str(), "org.freedesktop.portal.Request", "Response");
    if (r >= 0) r = sd_bus_message_append(signal, "u", code);
    if (r >= 0) r = sd_bus_message_open_container(signal, 'a', "{sv}");
    if (r >= 0 && fill) fill(signal);
    if (r >= 0) r = sd_bus_message_close_container(signal);
    if (r >= 0) r = sd_bus_send(portal, signal, nullptr);
    sd_bus_message_unref(signal);
    return r < 0 ? r : 1;
  }

  void stopMutterSession() {
    if (remoteDesktopPath.empty()) return;
    sd_bus_error error{};
    (void)sd_bus_call_method(mutter, kMutterRemoteDesktop, remoteDesktopPath.c_str(),
                             "org.gnome.Mutter.RemoteDesktop.Session", "Stop", &error, nullptr, "");
    sd_bus_error_free(&error);
    remoteDesktopPath.clear();
    screenCastPath.clear();
    streamPaths.clear();
  }

  std::string callForPath(const char* service, const char* path, const char* interface, const char* method,
                          const char* types, const std::string& argument) {
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    int r = types[0] == '\0'
                ? sd_bus_call_method(mutter, service, path, interface, method, &error, &reply, "")
                : sd_bus_call_method(mutter, service, path, interface, method, &error, &reply, types, argument.c_str());
    const char* out = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &out);
    std::string result = r >= 0 ? out : "";
    if (r < 0) fail(std::string(method) + ": " + (error.message ? error.message : std::strerror(-r)));
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result;
  }

  static State& of(void* data) { return *static_cast<State*>(data); }

  static int createSession(sd_bus_message* m, void* data, sd_bus_error*) {
    auto& s = of(data);
    CallOptions options;
    if (!readOptions(m, options)) return -EINVAL;
    s.stopMutterSession();
    s.sessionHandle = std::string(kPath) + "/session/" + senderPart(m) + "/" + options.strings["session_handle_token"];
    return s.answer(m, options.strings["handle_token"], 0, [&](sd_bus_message* r) {
      sd_bus_message_append(r, "{sv}", "session_handle", "s", s.sessionHandle.c_str());
    });
  }

  // mutter's remote-desktop session with its screen cast, made when the owner has allowed it.
  bool startMutterSession() {
    remoteDesktopPath = callForPath(kMutterRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kMutterRemoteDesktop,
                                    "CreateSession", "", "");
    if (remoteDesktopPath.empty()) return false;
    char* id = nullptr;
    sd_bus_error error{};
    (void)sd_bus_get_property_string(mutter, kMutterRemoteDesktop, remoteDesktopPath.c_str(),
                                     "org.gnome.Mutter.RemoteDesktop.Session", "SessionId", &error, &id);
    sd_bus_error_free(&error);
    if (id == nullptr) return false;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(mutter, kMutterScreenCast, "/org/gnome/Mutter/ScreenCast", kMutterScreenCast,
                           "CreateSession", &error, &reply, "a{sv}", 1, "remote-desktop-session-id", "s", id) >= 0) {
      const char* path = nullptr;
      if (sd_bus_message_read(reply, "o", &path) >= 0) screenCastPath = path;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    std::free(id);
    return !screenCastPath.empty();
  }

  static int selectDevices(sd_bus_message* m, void* data, sd_bus_error*) {
    auto& s = of(data);
    const char* session = nullptr;
    CallOptions options;
    if (sd_bus_message_read(m, "o", &session) < 0 || !readOptions(m, options)) return -EINVAL;
    DeviceSelection selection{options.numbers["types"], options.numbers["persist_mode"], std::nullopt};
    if (options.strings.count("restore_token") != 0) selection.restoreToken = options.strings["restore_token"];
    {
      std::lock_guard lock(s.mutex);
      s.selections.push_back(selection);
    }
    return s.answer(m, options.strings["handle_token"], 0);
  }

  static int selectSources(sd_bus_message* m, void* data, sd_bus_error*) {
    auto& s = of(data);
    const char* session = nullptr;
    CallOptions options;
    if (sd_bus_message_read(m, "o", &session) < 0 || !readOptions(m, options)) return -EINVAL;
    {
      std::lock_guard lock(s.mutex);
      s.cursorModes.push_back(options.numbers["cursor_mode"]);
    }
    return s.answer(m, options.strings["handle_token"], 0);
  }

  static int start(sd_bus_message* m, void* data, sd_bus_error*) {
    auto& s = of(data);
    const char *session = nullptr, *parent = nullptr;
    CallOptions options;
    if (sd_bus_message_read(m, "os", &session, &parent) < 0 || !readOptions(m, options)) return -EINVAL;
    if (s.options.cancelStart) return s.answer(m, options.strings["handle_token"], 1);
    if (!s.startMutterSession()) {
      s.fail("no session from mutter");
      return s.answer(m, options.strings["handle_token"], 2);
    }

    // Every monitor, recorded with the cursor drawn in, as a stream of the session.
    struct Recorded {
      ambrel::MutterMonitor monitor;
      std::string path;
      std::optional<std::uint32_t> node;
      sd_bus_slot* slot = nullptr;
    };
    std::vector<Recorded> recorded;
    auto monitors = s.displays->monitors();
    if (monitors) {
      for (const auto& monitor : *monitors) {
        sd_bus_error error{};
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        if (sd_bus_call_method(s.mutter, kMutterScreenCast, s.screenCastPath.c_str(),
                               "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor", &error, &reply, "sa{sv}",
                               monitor.connector.c_str(), 1, "cursor-mode", "u", 1u) >= 0 &&
            sd_bus_message_read(reply, "o", &path) >= 0) {
          recorded.push_back({monitor, path, std::nullopt, nullptr});
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
      }
    }
    for (auto& r : recorded) {
      sd_bus_match_signal(
          s.mutter, &r.slot, kMutterScreenCast, r.path.c_str(), "org.gnome.Mutter.ScreenCast.Stream",
          "PipeWireStreamAdded",
          [](sd_bus_message* signal, void* out, sd_bus_error*) {
            std::uint32_t node = 0;
            if (sd_bus_message_read(signal, "u", &node) >= 0) *static_cast<std::optional<std::uint32_t>*>(out) = node;
            return 0;
          },
          &r.node);
    }
    sd_bus_error error{};
    const int started = sd_bus_call_method(s.mutter, kMutterRemoteDesktop, s.remoteDesktopPath.c_str(),
                                           "org.gnome.Mutter.RemoteDesktop.Session", "Start", &error, nullptr, "");
    if (started < 0) s.fail(std::string("mutter's Start: ") + (error.message ? error.message : ""));
    sd_bus_error_free(&error);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const auto allThere = [&] {
      return std::all_of(recorded.begin(), recorded.end(), [](const Recorded& r) { return r.node.has_value(); });
    };
    while (started >= 0 && !allThere() && std::chrono::steady_clock::now() < deadline) {
      if (sd_bus_process(s.mutter, nullptr) == 0) sd_bus_wait(s.mutter, 100'000);
    }
    for (auto& r : recorded) sd_bus_slot_unref(r.slot);
    if (started < 0 || recorded.empty() || !allThere()) {
      s.fail("no streams from mutter");
      return s.answer(m, options.strings["handle_token"], 2);
    }
    for (const auto& r : recorded) s.streamPaths[*r.node] = r.path;
    const std::string token = "restore-" + std::to_string(++s.sessions);
    {
      std::lock_guard lock(s.mutex);
      s.tokens.push_back(token);
    }
    return s.answer(m, options.strings["handle_token"], 0, [&](sd_bus_message* reply) {
      sd_bus_message_append(reply, "{sv}", "devices", "u", 3u);
      sd_bus_message_append(reply, "{sv}", "restore_token", "s", token.c_str());
      sd_bus_message_open_container(reply, 'e', "sv");
      sd_bus_message_append(reply, "s", "streams");
      sd_bus_message_open_container(reply, 'v', "a(ua{sv})");
      sd_bus_message_open_container(reply, 'a', "(ua{sv})");
      for (const auto& r : recorded) {
        const auto& d = r.monitor.display;
        sd_bus_message_open_container(reply, 'r', "ua{sv}");
        sd_bus_message_append(reply, "u", *r.node);
        sd_bus_message_append(reply, "a{sv}", 4, "position", "(ii)", d.x, d.y, "size", "(ii)", d.width, d.height,
                              "source_type", "u", 1u, "id", "s", r.monitor.connector.c_str());
        sd_bus_message_close_container(reply);
      }
      sd_bus_message_close_container(reply);
      sd_bus_message_close_container(reply);
      sd_bus_message_close_container(reply);
    });
  }

  static int openPipeWireRemote(sd_bus_message* m, void* data, sd_bus_error* error) {
    auto& s = of(data);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, s.pipewireSocket.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
      if (fd >= 0) ::close(fd);
      return sd_bus_error_set(error, "org.freedesktop.portal.Error.Failed", "no PipeWire");
    }
    const int r = sd_bus_reply_method_return(m, "h", fd);
    ::close(fd);
    return r;
  }

  // Input, passed on to mutter's session with its own argument types.
  static int forward(sd_bus_message* m, void* data, const char* method, const std::string& stream,
                     const char* signature, ...) {
    auto& s = of(data);
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(s.mutter, &call, kMutterRemoteDesktop, s.remoteDesktopPath.c_str(),
                                           "org.gnome.Mutter.RemoteDesktop.Session", method);
    if (r >= 0 && !stream.empty()) r = sd_bus_message_append(call, "s", stream.c_str());
    if (r >= 0) {
      va_list args;
      va_start(args, signature);
      r = sd_bus_message_appendv(call, signature, args);
      va_end(args);
    }
    if (r >= 0) r = sd_bus_send(s.mutter, call, nullptr);
    sd_bus_message_unref(call);
    if (r < 0) s.fail(std::string("forwarding ") + method);
    return sd_bus_reply_method_return(m, "");
  }

  static bool readHead(sd_bus_message* m) {
    const char* session = nullptr;
    CallOptions ignored;
    return sd_bus_message_read(m, "o", &session) >= 0 && readOptions(m, ignored);
  }

  static int pointerMotion(sd_bus_message* m, void* data, sd_bus_error*) {
    std::uint32_t node = 0;
    double x = 0, y = 0;
    if (!readHead(m) || sd_bus_message_read(m, "udd", &node, &x, &y) < 0) return -EINVAL;
    const auto found = of(data).streamPaths.find(node);
    if (found == of(data).streamPaths.end()) return -EINVAL;
    return forward(m, data, "NotifyPointerMotionAbsolute", found->second, "dd", x, y);
  }
  static int pointerButton(sd_bus_message* m, void* data, sd_bus_error*) {
    std::int32_t button = 0;
    std::uint32_t state = 0;
    if (!readHead(m) || sd_bus_message_read(m, "iu", &button, &state) < 0) return -EINVAL;
    return forward(m, data, "NotifyPointerButton", "", "ib", button, state != 0 ? 1 : 0);
  }
  static int pointerAxisDiscrete(sd_bus_message* m, void* data, sd_bus_error*) {
    std::uint32_t axis = 0;
    std::int32_t steps = 0;
    if (!readHead(m) || sd_bus_message_read(m, "ui", &axis, &steps) < 0) return -EINVAL;
    return forward(m, data, "NotifyPointerAxisDiscrete", "", "ui", axis, steps);
  }
  static int keyboardKeycode(sd_bus_message* m, void* data, sd_bus_error*) {
    std::int32_t code = 0;
    std::uint32_t state = 0;
    if (!readHead(m) || sd_bus_message_read(m, "iu", &code, &state) < 0) return -EINVAL;
    return forward(m, data, "NotifyKeyboardKeycode", "", "ub", static_cast<std::uint32_t>(code), state != 0 ? 1 : 0);
  }
  static int keyboardKeysym(sd_bus_message* m, void* data, sd_bus_error*) {
    std::int32_t sym = 0;
    std::uint32_t state = 0;
    if (!readHead(m) || sd_bus_message_read(m, "iu", &sym, &state) < 0) return -EINVAL;
    return forward(m, data, "NotifyKeyboardKeysym", "", "ub", static_cast<std::uint32_t>(sym), state != 0 ? 1 : 0);
  }

  static int closeSession(sd_bus_message* m, void* data, sd_bus_error*) {
    // An earlier session's Close may come after the next session began.
    if (of(data).sessionHandle == sd_bus_message_get_path(m)) of(data).stopMutterSession();
    return sd_bus_reply_method_return(m, "");
  }

  static int constant(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*,
                      sd_bus_error*) {
    // Cursor modes hidden and embedded; monitors only; both device kinds.
    std::uint32_t value = 1;
    if (std::strcmp(property, "AvailableCursorModes") == 0) value = 3;
    if (std::strcmp(property, "AvailableDeviceTypes") == 0) value = 3;
    if (std::strcmp(property, "version") == 0) value = 2;
    return sd_bus_message_append(reply, "u", value);
  }

  void serve() {
    while (!stopping) {
      int r = sd_bus_process(portal, nullptr);
      if (r < 0) {
        fail("the portal's bus closed");
        return;
      }
      if (r == 0) sd_bus_wait(portal, 100'000);
      // mutter's signals and stray replies, so nothing piles up.
      while (sd_bus_process(mutter, nullptr) > 0) {
      }
    }
  }
};

namespace {

const sd_bus_vtable kRemoteDesktop[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "a{sv}", "o", FakePortal::State::createSession, 0),
    SD_BUS_METHOD("SelectDevices", "oa{sv}", "o", FakePortal::State::selectDevices, 0),
    SD_BUS_METHOD("Start", "osa{sv}", "o", FakePortal::State::start, 0),
    SD_BUS_METHOD("NotifyPointerMotionAbsolute", "oa{sv}udd", "", FakePortal::State::pointerMotion, 0),
    SD_BUS_METHOD("NotifyPointerButton", "oa{sv}iu", "", FakePortal::State::pointerButton, 0),
    SD_BUS_METHOD("NotifyPointerAxisDiscrete", "oa{sv}ui", "", FakePortal::State::pointerAxisDiscrete, 0),
    SD_BUS_METHOD("NotifyKeyboardKeycode", "oa{sv}iu", "", FakePortal::State::keyboardKeycode, 0),
    SD_BUS_METHOD("NotifyKeyboardKeysym", "oa{sv}iu", "", FakePortal::State::keyboardKeysym, 0),
    SD_BUS_PROPERTY("AvailableDeviceTypes", "u", FakePortal::State::constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("version", "u", FakePortal::State::constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kScreenCast[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SelectSources", "oa{sv}", "o", FakePortal::State::selectSources, 0),
    SD_BUS_METHOD("OpenPipeWireRemote", "oa{sv}", "h", FakePortal::State::openPipeWireRemote, 0),
    SD_BUS_PROPERTY("AvailableCursorModes", "u", FakePortal::State::constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("AvailableSourceTypes", "u", FakePortal::State::constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("version", "u", FakePortal::State::constant, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kSession[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Close", "", "", FakePortal::State::closeSession, 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

FakePortal::FakePortal(const HeadlessMutter& desktop, Options options) : state_(std::make_shared<State>()) {
  auto& s = *state_;
  s.options = options;
  s.busAddress = desktop.busAddress();
  s.pipewireSocket = std::filesystem::path(desktop.environment().at("XDG_RUNTIME_DIR")) / "pipewire-0";
  auto displays = ambrel::MutterDisplaySource::open(s.busAddress);
  if (!displays) {
    s.fail("mutter's displays can't be read");
    return;
  }
  s.displays = std::move(*displays);
  s.portal = connect(s.busAddress);
  s.mutter = connect(s.busAddress);
  if (s.portal == nullptr || s.mutter == nullptr) {
    s.fail("no bus");
    return;
  }
  int r = sd_bus_add_object_vtable(s.portal, nullptr, kPath, "org.freedesktop.portal.RemoteDesktop", kRemoteDesktop,
                                   &s);
  if (r >= 0) r = sd_bus_add_object_vtable(s.portal, nullptr, kPath, "org.freedesktop.portal.ScreenCast", kScreenCast, &s);
  if (r >= 0) {
    r = sd_bus_add_fallback_vtable(s.portal, nullptr, "/org/freedesktop/portal/desktop/session",
                                   "org.freedesktop.portal.Session", kSession, nullptr, &s);
  }
  if (r >= 0) r = sd_bus_request_name(s.portal, "org.freedesktop.portal.Desktop", 0);
  if (r < 0) {
    s.fail(std::string("can't serve the portal: ") + std::strerror(-r));
    return;
  }
  s.running = true;
  s.thread = std::thread([state = state_] { state->serve(); });
}

FakePortal::~FakePortal() {
  auto& s = *state_;
  s.stopping = true;
  if (s.thread.joinable()) s.thread.join();
  s.stopMutterSession();
  if (s.portal != nullptr) sd_bus_flush_close_unref(s.portal);
  if (s.mutter != nullptr) sd_bus_flush_close_unref(s.mutter);
}

bool FakePortal::isRunning() const { return state_->running; }

std::string FakePortal::errors() const {
  std::lock_guard lock(state_->mutex);
  return state_->errors;
}

std::vector<FakePortal::DeviceSelection> FakePortal::deviceSelections() const {
  std::lock_guard lock(state_->mutex);
  return state_->selections;
}

std::vector<std::uint32_t> FakePortal::cursorModes() const {
  std::lock_guard lock(state_->mutex);
  return state_->cursorModes;
}

std::vector<std::string> FakePortal::restoreTokens() const {
  std::lock_guard lock(state_->mutex);
  return state_->tokens;
}

}  // namespace corvel::test
