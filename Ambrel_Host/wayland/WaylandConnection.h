#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "CorvelKit/base/Expected.h"

struct wl_display;
struct wl_registry;
struct wl_interface;
struct pollfd;

namespace ambrel {

// One client connection to a Wayland compositor and its registry of globals. Each component of
// the Wayland backend (displays, capture, input, clipboard) has a connection of its own, used on
// one thread only, so that their event queues never meet.
class WaylandConnection {
 public:
  struct Global {
    std::string interface;
    std::uint32_t version = 0;
  };
  using GlobalHandler = std::function<void(std::uint32_t name, const Global& global)>;
  using RemoveHandler = std::function<void(std::uint32_t name)>;

  // Connects to `display`: a socket name in $XDG_RUNTIME_DIR or an absolute path (empty:
  // $WAYLAND_DISPLAY), and reads the globals.
  [[nodiscard]] static corvel::Expected<std::unique_ptr<WaylandConnection>, std::error_code> open(
      const std::string& display);
  ~WaylandConnection();
  WaylandConnection(const WaylandConnection&) = delete;
  WaylandConnection& operator=(const WaylandConnection&) = delete;

  wl_display* display() const { return display_; }
  const std::map<std::uint32_t, Global>& globals() const { return globals_; }
  // The registry name of the first global of `interface`; 0 when there is none.
  std::uint32_t find(const std::string& interface) const;
  // Binds global `name` at the lower of its version and `maxVersion`; null when it is not there.
  void* bind(std::uint32_t name, const wl_interface* interface, std::uint32_t maxVersion);
  // The first global of `interface`, bound as above.
  void* bindFirst(const wl_interface* interface, std::uint32_t maxVersion);
  std::uint32_t boundVersion(std::uint32_t name, std::uint32_t maxVersion) const;

  // Told of globals that come and go after the connection was made (outputs plugged in or out).
  void setGlobalHandlers(GlobalHandler added, RemoveHandler removed);

  // Sends the requests and waits for the compositor to have handled them and sent their events.
  [[nodiscard]] bool roundtrip();
  // Sends what is queued, waits up to `timeout` (negative: for ever) for events or for `wakeFd`
  // (-1: none) to become readable, and dispatches what came. False once the connection is broken.
  [[nodiscard]] bool pump(std::chrono::milliseconds timeout, int wakeFd = -1);
  // The same, waiting for the descriptors of `others` as well (their revents are set).
  [[nodiscard]] bool pump(std::chrono::milliseconds timeout, std::span<pollfd> others);
  // Sends what is queued and dispatches what has arrived, without waiting.
  [[nodiscard]] bool flush();
  // The connection's fatal error, if it has one.
  std::error_code error() const;

  // The registry's listener.
  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
  static void onGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);

 private:
  WaylandConnection() = default;

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  std::map<std::uint32_t, Global> globals_;
  GlobalHandler added_;
  RemoveHandler removed_;
};

}  // namespace ambrel
