#include "Ambrel_Host/wayland/MutterDisplaySource.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/shell/BusConnection.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

constexpr const char* kService = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kPath = "/org/gnome/Mutter/DisplayConfig";
constexpr const char* kInterface = "org.gnome.Mutter.DisplayConfig";

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

std::error_code malformed() { return CaptureErrc::noDisplayServer; }

bool readBoolVariant(sd_bus_message* m, bool& out) {
  int value = 0;
  if (sd_bus_message_enter_container(m, 'v', "b") < 0) return false;
  if (sd_bus_message_read(m, "b", &value) < 0) return false;
  out = value != 0;
  return sd_bus_message_exit_container(m) >= 0;
}

struct PhysicalMonitor {
  std::string connector;
  std::string displayName;
  int width = 0, height = 0;  // the current mode
};

bool readMonitor(sd_bus_message* m, PhysicalMonitor& out) {
  const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
  if (sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial) < 0) return false;
  out.connector = connector;
  if (sd_bus_message_enter_container(m, 'a', "(siiddada{sv})") < 0) return false;
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'r', "siiddada{sv}");
    if (r < 0) return false;
    if (r == 0) break;
    const char* id = nullptr;
    std::int32_t width = 0, height = 0;
    double refresh = 0, preferredScale = 0;
    if (sd_bus_message_read(m, "siidd", &id, &width, &height, &refresh, &preferredScale) < 0) return false;
    if (sd_bus_message_skip(m, "ad") < 0) return false;
    bool current = false;
    if (!readProperties(m, [&](std::string_view key) {
          return key == "is-current" && readBoolVariant(m, current);
        })) {
      return false;
    }
    if (current) {
      out.width = width;
      out.height = height;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  if (sd_bus_message_exit_container(m) < 0) return false;
  return readProperties(m, [&](std::string_view key) {
    if (key != "display-name") return false;
    const char* name = nullptr;
    if (sd_bus_message_enter_container(m, 'v', "s") < 0 || sd_bus_message_read(m, "s", &name) < 0) return false;
    out.displayName = name;
    return sd_bus_message_exit_container(m) >= 0;
  });
}

}  // namespace

corvel::Expected<std::vector<MutterMonitor>, std::error_code> parseMutterState(sd_bus_message* m) {
  std::uint32_t serial = 0;
  if (sd_bus_message_read(m, "u", &serial) < 0) return corvel::Unexpected{malformed()};
  std::vector<PhysicalMonitor> physical;
  if (sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})") < 0) return corvel::Unexpected{malformed()};
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}");
    if (r < 0) return corvel::Unexpected{malformed()};
    if (r == 0) break;
    PhysicalMonitor monitor;
    if (!readMonitor(m, monitor) || sd_bus_message_exit_container(m) < 0) return corvel::Unexpected{malformed()};
    physical.push_back(std::move(monitor));
  }
  if (sd_bus_message_exit_container(m) < 0) return corvel::Unexpected{malformed()};

  struct Logical {
    int x = 0, y = 0;
    double scale = 1;
    std::uint32_t transform = 0;
    bool primary = false;
    std::vector<std::string> connectors;
  };
  std::vector<Logical> logical;
  if (sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})") < 0) return corvel::Unexpected{malformed()};
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}");
    if (r < 0) return corvel::Unexpected{malformed()};
    if (r == 0) break;
    Logical l;
    std::int32_t x = 0, y = 0;
    int primary = 0;
    if (sd_bus_message_read(m, "iidub", &x, &y, &l.scale, &l.transform, &primary) < 0) {
      return corvel::Unexpected{malformed()};
    }
    l.x = x;
    l.y = y;
    l.primary = primary != 0;
    if (sd_bus_message_enter_container(m, 'a', "(ssss)") < 0) return corvel::Unexpected{malformed()};
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serialText = nullptr;
    while ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serialText)) > 0) {
      l.connectors.emplace_back(connector);
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0) return corvel::Unexpected{malformed()};
    if (sd_bus_message_skip(m, "a{sv}") < 0 || sd_bus_message_exit_container(m) < 0) {
      return corvel::Unexpected{malformed()};
    }
    logical.push_back(std::move(l));
  }
  if (sd_bus_message_exit_container(m) < 0) return corvel::Unexpected{malformed()};
  // Layout mode 1: the layout is in logical pixels (device pixels divided by the scale); 2: in
  // device pixels.
  std::uint32_t layoutMode = 2;
  if (!readProperties(m, [&](std::string_view key) {
        if (key != "layout-mode") return false;
        return sd_bus_message_enter_container(m, 'v', "u") >= 0 && sd_bus_message_read(m, "u", &layoutMode) >= 0 &&
               sd_bus_message_exit_container(m) >= 0;
      })) {
    return corvel::Unexpected{malformed()};
  }

  std::vector<MutterMonitor> monitors;
  for (const auto& l : logical) {
    if (l.connectors.empty()) continue;
    const auto found = std::find_if(physical.begin(), physical.end(),
                                     [&](const PhysicalMonitor& p) { return p.connector == l.connectors.front(); });
    if (found == physical.end() || found->width <= 0 || found->height <= 0) continue;
    MutterMonitor monitor;
    monitor.connector = found->connector;
    // A quarter or three-quarter turn (transforms 1, 3 and their flipped 5, 7) swaps the sides.
    const bool turned = (l.transform & 1u) != 0;
    monitor.pixelWidth = turned ? found->height : found->width;
    monitor.pixelHeight = turned ? found->width : found->height;
    const double scale = layoutMode == 1 && l.scale > 0 ? l.scale : 1.0;
    monitor.display.id = MutterMonitor::identifierOf(found->connector);
    monitor.display.name = found->connector;
    monitor.display.x = l.x;
    monitor.display.y = l.y;
    monitor.display.width = static_cast<int>(std::lround(monitor.pixelWidth / scale));
    monitor.display.height = static_cast<int>(std::lround(monitor.pixelHeight / scale));
    monitor.display.isMain = l.primary;
    monitors.push_back(std::move(monitor));
  }
  // Exactly one main display: the primary one, else the first.
  bool haveMain = false;
  for (auto& monitor : monitors) {
    if (monitor.display.isMain && !haveMain) {
      haveMain = true;
    } else {
      monitor.display.isMain = false;
    }
  }
  if (!haveMain && !monitors.empty()) monitors.front().display.isMain = true;
  return monitors;
}

corvel::Expected<std::shared_ptr<MutterDisplaySource>, std::error_code> MutterDisplaySource::open(
    std::optional<std::string> busAddress) {
  sd_bus* raw = nullptr;
  if (openBus(&raw, busAddress, BusKind::session) < 0) return corvel::Unexpected<std::error_code>{CaptureErrc::noDisplayServer};
  SdBus bus(raw);
  auto source = std::shared_ptr<MutterDisplaySource>(new MutterDisplaySource(std::move(busAddress), std::move(bus)));
  auto first = source->monitors();
  if (!first) return corvel::Unexpected{first.error()};
  return source;
}

MutterDisplaySource::MutterDisplaySource(std::optional<std::string> busAddress, SdBus bus)
    : busAddress_(std::move(busAddress)), bus_(std::move(bus)) {}

MutterDisplaySource::~MutterDisplaySource() {
  {
    std::lock_guard lock(handlerMutex_);
    stopping_ = true;
  }
  if (watcher_.joinable()) watcher_.join();
}

corvel::Expected<std::vector<MutterMonitor>, std::error_code> MutterDisplaySource::monitors() {
  std::lock_guard lock(busMutex_);
  sd_bus_message* raw = nullptr;
  SdBusError error;
  const int r = sd_bus_call_method(bus_.get(), kService, kPath, kInterface, "GetCurrentState", error.get(), &raw, "");
  SdBusMessage reply(raw);
  if (r < 0) {
    log().warn("can't read mutter's monitors: {}", error.text(r));
    return corvel::Unexpected<std::error_code>{CaptureErrc::noDisplayServer};
  }
  return parseMutterState(reply.get());
}

corvel::Expected<std::vector<ScreenDisplay>, std::error_code> MutterDisplaySource::displays() {
  auto monitors = this->monitors();
  if (!monitors) return corvel::Unexpected{monitors.error()};
  std::vector<ScreenDisplay> displays;
  for (auto& m : *monitors) displays.push_back(std::move(m.display));
  return displays;
}

void MutterDisplaySource::setChangeHandler(std::function<void()> handler) {
  auto next = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
  std::unique_lock lock(handlerMutex_);
  handler_.swap(next);
  if (!watcher_.joinable()) {
    if (handler_) watcher_ = std::thread([this] { watch(); });
    return;
  }
  if (std::this_thread::get_id() != watcher_.get_id()) {
    handlerIdle_.wait(lock, [&] { return !calling_; });
  }
}

void MutterDisplaySource::watch() {
  sd_bus* raw = nullptr;
  if (openBus(&raw, busAddress_, BusKind::session) < 0) {
    log().warn("no bus connection for mutter's monitor changes");
    return;
  }
  SdBus bus(raw);
  bool changed = false;
  sd_bus_slot* slot = nullptr;
  const int r = sd_bus_match_signal(
      bus.get(), &slot, kService, kPath, kInterface, "MonitorsChanged",
      [](sd_bus_message*, void* flag, sd_bus_error*) {
        *static_cast<bool*>(flag) = true;
        return 0;
      },
      &changed);
  SdBusSlot match(slot);
  if (r < 0) {
    log().warn("can't watch mutter's monitor changes: {}", std::strerror(-r));
    return;
  }
  for (;;) {
    {
      std::lock_guard lock(handlerMutex_);
      if (stopping_) return;
    }
    int processed = 0;
    while ((processed = sd_bus_process(bus.get(), nullptr)) > 0) {
    }
    if (processed < 0) {
      log().warn("the session bus closed; no more monitor changes");
      return;
    }
    if (changed) {
      changed = false;
      std::shared_ptr<const std::function<void()>> handler;
      {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
        calling_ = handler != nullptr;
      }
      if (handler) {
        (*handler)();
        handler.reset();
        std::lock_guard lock(handlerMutex_);
        calling_ = false;
        handlerIdle_.notify_all();
      }
    }
    sd_bus_wait(bus.get(), 200'000);
  }
}

}  // namespace ambrel
