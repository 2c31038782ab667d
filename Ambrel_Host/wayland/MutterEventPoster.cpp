#include "Ambrel_Host/wayland/MutterEventPoster.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Ambrel_Host/capture/DisplayAt.h"
#include "Ambrel_Host/input/KeySyms.h"
#include "Ambrel_Host/shell/BusConnection.h"
#include "Ambrel_Host/wayland/EvdevKeyCodes.h"
#include "Ambrel_Host/wayland/MutterDisplaySource.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("input");
  return logger;
}

int evdevButton(int xButton) {
  switch (xButton) {
    case EventPoster::leftButton: return BTN_LEFT;
    case EventPoster::middleButton: return BTN_MIDDLE;
    case EventPoster::rightButton: return BTN_RIGHT;
    case 8: return BTN_SIDE;
    case 9: return BTN_EXTRA;
    default: return 0;
  }
}

}  // namespace

MutterEventPoster::MutterEventPoster(std::shared_ptr<MutterDisplaySource> displays)
    : displays_(std::move(displays)) {
  available_ = ensureSession();
}

MutterEventPoster::~MutterEventPoster() { closeSession(); }

void MutterEventPoster::closeSession() {
  if (bus_ && !sessionPath_.empty() && !closed_) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus_.get(), &raw, kRemoteDesktop, sessionPath_.c_str(),
                                       kRemoteDesktopSession, "Stop") >= 0) {
      SdBusMessage stop(raw);
      sd_bus_message_set_expect_reply(stop.get(), 0);
      (void)sd_bus_send(bus_.get(), stop.get(), nullptr);
    }
  }
  closedMatch_.reset();
  bus_.reset();
  sessionPath_.clear();
  streams_.clear();
  monitors_.clear();
  closed_ = false;
}

bool MutterEventPoster::ensureSession() {
  if (bus_ && !closed_) return true;
  closeSession();
  if (!displays_) return false;
  auto monitors = displays_->monitors();
  if (!monitors || monitors->empty()) return false;

  sd_bus* raw = nullptr;
  if (openBus(&raw, displays_->busAddress(), BusKind::session) < 0) return false;
  SdBus bus(raw);
  SdBusError error;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus.get(), kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop,
                             "CreateSession", error.get(), &reply, "");
  SdBusMessage created(reply);
  const char* path = nullptr;
  if (r < 0 || sd_bus_message_read(created.get(), "o", &path) < 0) {
    log().warn("mutter refused a remote desktop session: {}", error.text(r));
    return false;
  }
  const std::string sessionPath = path;
  char* sessionID = nullptr;
  r = sd_bus_get_property_string(bus.get(), kRemoteDesktop, sessionPath.c_str(), kRemoteDesktopSession,
                                 "SessionId", error.get(), &sessionID);
  if (r < 0) {
    log().warn("no id for the remote desktop session: {}", error.text(r));
    return false;
  }
  const std::string id = sessionID;
  std::free(sessionID);

  reply = nullptr;
  r = sd_bus_call_method(bus.get(), kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                         error.get(), &reply, "a{sv}", 1, "remote-desktop-session-id", "s", id.c_str());
  SdBusMessage castCreated(reply);
  if (r < 0 || sd_bus_message_read(castCreated.get(), "o", &path) < 0) {
    log().warn("mutter refused the input session's screen cast: {}", error.text(r));
    return false;
  }
  const std::string castPath = path;
  std::map<std::uint32_t, std::string> streams;
  for (const auto& monitor : *monitors) {
    reply = nullptr;
    r = sd_bus_call_method(bus.get(), kScreenCast, castPath.c_str(), kScreenCastSession, "RecordMonitor",
                           error.get(), &reply, "sa{sv}", monitor.connector.c_str(), 1, "cursor-mode", "u", 0u);
    SdBusMessage recorded(reply);
    if (r < 0 || sd_bus_message_read(recorded.get(), "o", &path) < 0) {
      log().warn("mutter refused to record {} for input: {}", monitor.connector, error.text(r));
      continue;
    }
    streams[monitor.display.id] = path;
  }
  sd_bus_slot* slot = nullptr;
  r = sd_bus_match_signal(
      bus.get(), &slot, kRemoteDesktop, sessionPath.c_str(), kRemoteDesktopSession, "Closed",
      [](sd_bus_message*, void* flag, sd_bus_error*) {
        *static_cast<bool*>(flag) = true;
        return 0;
      },
      &closed_);
  SdBusSlot match(slot);
  reply = nullptr;
  r = sd_bus_call_method(bus.get(), kRemoteDesktop, sessionPath.c_str(), kRemoteDesktopSession, "Start",
                         error.get(), &reply, "");
  SdBusMessage started(reply);
  if (r < 0) {
    log().warn("mutter did not start the remote desktop session: {}", error.text(r));
    return false;
  }
  bus_ = std::move(bus);
  closedMatch_ = std::move(match);
  sessionPath_ = sessionPath;
  monitors_ = std::move(*monitors);
  streams_ = std::move(streams);
  closed_ = false;
  log().info("remote desktop session on mutter with {} monitor(s)", streams_.size());
  return true;
}

DisplayBounds MutterEventPoster::screenBounds() const {
  std::vector<MutterMonitor> monitors = monitors_;
  if (monitors.empty() && displays_) {
    if (auto now = displays_->monitors()) monitors = std::move(*now);
  }
  if (monitors.empty()) return {};
  int left = std::numeric_limits<int>::max(), top = std::numeric_limits<int>::max();
  int right = std::numeric_limits<int>::min(), bottom = std::numeric_limits<int>::min();
  for (const auto& m : monitors) {
    left = std::min(left, m.display.x);
    top = std::min(top, m.display.y);
    right = std::max(right, m.display.x + m.display.width);
    bottom = std::max(bottom, m.display.y + m.display.height);
  }
  return {left, top, right - left, bottom - top};
}

void MutterEventPoster::notify(const char* method, const char* signature, ...) {
  if (!ensureSession()) return;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, kRemoteDesktop, sessionPath_.c_str(),
                                         kRemoteDesktopSession, method);
  SdBusMessage call(raw);
  if (r >= 0) {
    va_list args;
    va_start(args, signature);
    r = sd_bus_message_appendv(call.get(), signature, args);
    va_end(args);
  }
  if (r >= 0) r = sd_bus_message_set_expect_reply(call.get(), 0);
  if (r >= 0) r = sd_bus_send(bus_.get(), call.get(), nullptr);
  if (r < 0) {
    log().warn("couldn't send {} to mutter: {}", method, std::strerror(-r));
    closed_ = true;  // a broken connection: a new session next time
  }
}

void MutterEventPoster::moveTo(int x, int y) {
  if (!ensureSession()) return;
  const auto found = displayAt(monitors_.begin(), monitors_.end(), x, y);
  if (found == monitors_.end()) return;
  const auto stream = streams_.find(found->display.id);
  if (stream == streams_.end() || found->display.width <= 0 || found->display.height <= 0) return;
  const double sx = static_cast<double>(x - found->display.x) * found->pixelWidth / found->display.width;
  const double sy = static_cast<double>(y - found->display.y) * found->pixelHeight / found->display.height;
  notify("NotifyPointerMotionAbsolute", "sdd", stream->second.c_str(), sx, sy);
}

void MutterEventPoster::button(int xButton, bool down, int /*clickCount*/) {
  // Wheel "buttons": one discrete step per press (axis 0 vertical, 1 horizontal; positive is
  // down or right).
  switch (xButton) {
    case wheelUp:
    case wheelDown:
    case wheelLeft:
    case wheelRight:
      if (down) {
        const std::uint32_t axis = xButton == wheelUp || xButton == wheelDown ? 0 : 1;
        const std::int32_t steps = xButton == wheelUp || xButton == wheelLeft ? -1 : 1;
        notify("NotifyPointerAxisDiscrete", "ui", axis, steps);
      }
      return;
    default:
      break;
  }
  const int code = evdevButton(xButton);
  if (code == 0) return;
  notify("NotifyPointerButton", "ib", static_cast<std::int32_t>(code), down ? 1 : 0);
}

void MutterEventPoster::key(std::uint32_t keysym, bool down) {
  if (auto code = EvdevKeyCodes::forKeysym(keysym)) {
    notify("NotifyKeyboardKeycode", "ub", static_cast<std::uint32_t>(*code), down ? 1 : 0);
  } else {
    this->keysym(keysym, down);
  }
}

void MutterEventPoster::keysym(std::uint32_t keysym, bool down) {
  notify("NotifyKeyboardKeysym", "ub", keysym, down ? 1 : 0);
}

void MutterEventPoster::typeText(std::u32string_view characters) {
  for (const char32_t c : characters) {
    const auto sym = KeySyms::forCharacter(c);
    if (!sym) continue;
    keysym(*sym, true);
    keysym(*sym, false);
  }
}

void MutterEventPoster::flush() {
  if (!bus_) return;
  int r = 0;
  // Signals (the session's Closed) and stray messages are read here, so nothing piles up.
  while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  if (r >= 0) r = sd_bus_flush(bus_.get());
  if (r < 0) closed_ = true;
  if (closed_) log().info("mutter closed the remote desktop session; a new one comes with the next event");
}

}  // namespace ambrel
