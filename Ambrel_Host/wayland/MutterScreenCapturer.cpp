#include "Ambrel_Host/wayland/MutterScreenCapturer.h"

#include <algorithm>
#include <optional>
#include <string>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/shell/BusConnection.h"
#include "Ambrel_Host/wayland/MutterDisplaySource.h"
#include "Ambrel_Host/wayland/SdBusHandles.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
constexpr auto kStreamStartTimeout = std::chrono::seconds(5);

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

// One ScreenCast session of mutter's, stopped when it goes; its bus is read (for the session's
// Closed signal) when the capture checks it.
struct MutterCast final : PipeWireScreenCapturer::Cast {
  std::shared_ptr<MutterDisplaySource> displays;
  std::uint32_t displayID = 0;
  SdBus bus;
  SdBusSlot closedMatch;
  std::string sessionPath;
  bool sessionClosed = false;

  ~MutterCast() override {
    if (bus && !sessionPath.empty() && !sessionClosed) {
      sd_bus_message* raw = nullptr;
      if (sd_bus_message_new_method_call(bus.get(), &raw, kScreenCast, sessionPath.c_str(), kSessionInterface,
                                         "Stop") >= 0) {
        SdBusMessage stop(raw);
        sd_bus_message_set_expect_reply(stop.get(), 0);
        (void)sd_bus_send(bus.get(), stop.get(), nullptr);
      }
    }
  }

  std::error_code check() override {
    int r = 0;
    while ((r = sd_bus_process(bus.get(), nullptr)) > 0) {
    }
    if (r < 0 || sessionClosed) return whyClosed();
    return {};
  }

  // Whether the display is still there, for telling a removed monitor from a lost session.
  std::error_code whyClosed() {
    auto monitors = displays->monitors();
    if (!monitors) return CaptureErrc::connectionLost;
    const bool present = std::any_of(monitors->begin(), monitors->end(),
                                     [&](const MutterMonitor& m) { return m.display.id == displayID; });
    return present ? CaptureErrc::connectionLost : CaptureErrc::displayRemoved;
  }
};

}  // namespace

MutterScreenCapturer::MutterScreenCapturer(std::shared_ptr<MutterDisplaySource> displays)
    : displays_(std::move(displays)) {}

std::error_code MutterScreenCapturer::start(std::uint32_t displayID, int maxWidth, int fps) {
  prepare(maxWidth, fps);
  if (!displays_) return CaptureErrc::noDisplayServer;
  auto monitors = displays_->monitors();
  if (!monitors) return monitors.error();
  const auto monitor = std::find_if(monitors->begin(), monitors->end(),
                                    [&](const MutterMonitor& m) { return m.display.id == displayID; });
  if (monitor == monitors->end()) return CaptureErrc::displayNotFound;

  auto cast = std::make_unique<MutterCast>();
  cast->displays = displays_;
  cast->displayID = displayID;
  sd_bus* raw = nullptr;
  if (openBus(&raw, displays_->busAddress(), BusKind::session) < 0) return CaptureErrc::noDisplayServer;
  cast->bus.reset(raw);
  sd_bus* bus = cast->bus.get();

  SdBusError error;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                             error.get(), &reply, "a{sv}", 0);
  SdBusMessage created(reply);
  const char* path = nullptr;
  if (r < 0 || sd_bus_message_read(created.get(), "o", &path) < 0) {
    log().warn("mutter refused a screen cast: {}", error.text(r));
    return CaptureErrc::screenCastRefused;
  }
  cast->sessionPath = path;
  // The cursor drawn into the picture (cursor mode 1).
  reply = nullptr;
  r = sd_bus_call_method(bus, kScreenCast, cast->sessionPath.c_str(), kSessionInterface, "RecordMonitor",
                         error.get(), &reply, "sa{sv}", monitor->connector.c_str(), 1, "cursor-mode", "u", 1u);
  SdBusMessage recorded(reply);
  if (r < 0 || sd_bus_message_read(recorded.get(), "o", &path) < 0) {
    log().warn("mutter refused to record {}: {}", monitor->connector, error.text(r));
    return CaptureErrc::screenCastRefused;
  }
  const std::string streamPath = path;

  std::optional<std::uint32_t> node;
  sd_bus_slot* slot = nullptr;
  r = sd_bus_match_signal(
      bus, &slot, kScreenCast, streamPath.c_str(), kStreamInterface, "PipeWireStreamAdded",
      [](sd_bus_message* m, void* out, sd_bus_error*) {
        std::uint32_t id = 0;
        if (sd_bus_message_read(m, "u", &id) >= 0) *static_cast<std::optional<std::uint32_t>*>(out) = id;
        return 0;
      },
      &node);
  SdBusSlot streamAdded(slot);
  slot = nullptr;
  if (r >= 0) {
    r = sd_bus_match_signal(
        bus, &slot, kScreenCast, cast->sessionPath.c_str(), kSessionInterface, "Closed",
        [](sd_bus_message*, void* flag, sd_bus_error*) {
          *static_cast<bool*>(flag) = true;
          return 0;
        },
        &cast->sessionClosed);
    cast->closedMatch.reset(slot);
  }
  if (r < 0) return CaptureErrc::screenCastRefused;
  reply = nullptr;
  r = sd_bus_call_method(bus, kScreenCast, cast->sessionPath.c_str(), kSessionInterface, "Start", error.get(),
                         &reply, "");
  SdBusMessage started(reply);
  if (r < 0) {
    log().warn("mutter did not start the screen cast: {}", error.text(r));
    return CaptureErrc::screenCastRefused;
  }
  const auto deadline = SteadyClock::now() + kStreamStartTimeout;
  while (!node && !cast->sessionClosed && SteadyClock::now() < deadline) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return CaptureErrc::connectionLost;
    if (r == 0) sd_bus_wait(bus, 100'000);
  }
  streamAdded.reset();
  if (!node) {
    log().warn("mutter's screen cast of {} sent no stream", monitor->connector);
    return CaptureErrc::screenCastRefused;
  }

  if (const auto failed = startStream(std::move(cast), *node, -1)) return failed;
  log().info("capturing display {} ({}, {}x{}) through PipeWire node {}, at most {} wide, {} fps", displayID,
             monitor->connector, monitor->pixelWidth, monitor->pixelHeight, *node, maxWidth, fps);
  return {};
}

}  // namespace ambrel
