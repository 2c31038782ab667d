#include "Ambrel_Host/wayland/WaylandConnection.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "Ambrel_Host/capture/CaptureError.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

const wl_registry_listener kRegistryListener = {
    &WaylandConnection::onGlobal,
    &WaylandConnection::onGlobalRemove,
};

}  // namespace

corvel::Expected<std::unique_ptr<WaylandConnection>, std::error_code> WaylandConnection::open(
    const std::string& display) {
  std::unique_ptr<WaylandConnection> connection(new WaylandConnection);
  connection->display_ = wl_display_connect(display.empty() ? nullptr : display.c_str());
  if (connection->display_ == nullptr) {
    return corvel::Unexpected{std::error_code(CaptureErrc::noDisplayServer)};
  }
  connection->registry_ = wl_display_get_registry(connection->display_);
  wl_registry_add_listener(connection->registry_, &kRegistryListener, connection.get());
  if (!connection->roundtrip()) return corvel::Unexpected{connection->error()};
  return connection;
}

WaylandConnection::~WaylandConnection() {
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  if (display_ != nullptr) wl_display_disconnect(display_);
}

void WaylandConnection::onGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
                                 std::uint32_t version) {
  auto* self = static_cast<WaylandConnection*>(data);
  const auto& global = self->globals_[name] = Global{interface, version};
  if (self->added_) self->added_(name, global);
}

void WaylandConnection::onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto* self = static_cast<WaylandConnection*>(data);
  self->globals_.erase(name);
  if (self->removed_) self->removed_(name);
}

std::uint32_t WaylandConnection::find(const std::string& interface) const {
  for (const auto& [name, global] : globals_) {
    if (global.interface == interface) return name;
  }
  return 0;
}

std::uint32_t WaylandConnection::boundVersion(std::uint32_t name, std::uint32_t maxVersion) const {
  auto it = globals_.find(name);
  return it == globals_.end() ? 0 : std::min(it->second.version, maxVersion);
}

void* WaylandConnection::bind(std::uint32_t name, const wl_interface* interface, std::uint32_t maxVersion) {
  const auto version = boundVersion(name, maxVersion);
  if (version == 0) return nullptr;
  return wl_registry_bind(registry_, name, interface, version);
}

void* WaylandConnection::bindFirst(const wl_interface* interface, std::uint32_t maxVersion) {
  const auto name = find(interface->name);
  return name == 0 ? nullptr : bind(name, interface, maxVersion);
}

void WaylandConnection::setGlobalHandlers(GlobalHandler added, RemoveHandler removed) {
  added_ = std::move(added);
  removed_ = std::move(removed);
}

bool WaylandConnection::roundtrip() { return wl_display_roundtrip(display_) >= 0; }

bool WaylandConnection::flush() {
  if (wl_display_dispatch_pending(display_) < 0) return false;
  return pump(std::chrono::milliseconds(0));
}

bool WaylandConnection::pump(std::chrono::milliseconds timeout, int wakeFd) {
  pollfd wake{wakeFd, POLLIN, 0};
  return pump(timeout, wakeFd >= 0 ? std::span<pollfd>(&wake, 1) : std::span<pollfd>());
}

bool WaylandConnection::pump(std::chrono::milliseconds timeout, std::span<pollfd> others) {
  while (wl_display_prepare_read(display_) != 0) {
    if (wl_display_dispatch_pending(display_) < 0) return false;
  }
  // A full socket buffer only delays the rest: poll for writability too then.
  bool writable = true;
  if (wl_display_flush(display_) < 0) {
    if (errno != EAGAIN) {
      wl_display_cancel_read(display_);
      return false;
    }
    writable = false;
  }
  std::vector<pollfd> fds;
  fds.reserve(others.size() + 1);
  fds.push_back({wl_display_get_fd(display_), static_cast<short>(POLLIN | (writable ? 0 : POLLOUT)), 0});
  fds.insert(fds.end(), others.begin(), others.end());
  const int ready = ::poll(fds.data(), fds.size(), timeout.count() < 0 ? -1 : static_cast<int>(timeout.count()));
  if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
    if (wl_display_read_events(display_) < 0) return false;
  } else {
    wl_display_cancel_read(display_);
  }
  for (std::size_t i = 0; i < others.size(); ++i) others[i].revents = ready > 0 ? fds[i + 1].revents : 0;
  if (ready < 0 && errno != EINTR) return false;
  return wl_display_dispatch_pending(display_) >= 0;
}

std::error_code WaylandConnection::error() const {
  const int code = wl_display_get_error(display_);
  return code == 0 ? std::error_code() : std::error_code(CaptureErrc::connectionLost);
}

}  // namespace ambrel
