#include "Ambrel_Host/wayland/WaylandOutputs.h"

#include <wayland-client.h>

#include <string>

#include "Ambrel_Host/wayland/WaylandConnection.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace ambrel {

struct WaylandOutputs::Output {
  WaylandOutputs* owner = nullptr;
  std::uint32_t id = 0;
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  std::string name;
  int x = 0, y = 0, width = 0, height = 0;  // logical, from xdg-output
  bool logical = false;
  int modeWidth = 0, modeHeight = 0;        // pixels of the current mode
  bool described = false;                   // a done event came

  ScreenDisplay display() const {
    ScreenDisplay d;
    d.id = id;
    d.name = name.empty() ? "Display " + std::to_string(id) : name;
    d.x = x;
    d.y = y;
    d.width = logical ? width : modeWidth;
    d.height = logical ? height : modeHeight;
    return d;
  }
  void done() {
    described = true;
    if (owner->changed_) owner->changed_();
  }

  ~Output() {
    if (xdg != nullptr) zxdg_output_v1_destroy(xdg);
    if (output != nullptr) {
      if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
        wl_output_release(output);
      } else {
        wl_output_destroy(output);
      }
    }
  }
};

namespace {

using Output = WaylandOutputs::Output;

const wl_output_listener kOutputListener = {
    // geometry: the position here is the output's place in the layout when xdg-output is absent
    [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t, std::int32_t,
       const char*, const char*, std::int32_t) {
      auto* o = static_cast<Output*>(data);
      if (!o->logical && o->xdg == nullptr) {
        o->x = x;
        o->y = y;
      }
    },
    // mode
    [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
      auto* o = static_cast<Output*>(data);
      if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
        o->modeWidth = width;
        o->modeHeight = height;
      }
    },
    // done
    [](void* data, wl_output*) { static_cast<Output*>(data)->done(); },
    // scale
    [](void*, wl_output*, std::int32_t) {},
    // name
    [](void* data, wl_output*, const char* name) {
      auto* o = static_cast<Output*>(data);
      if (o->name.empty()) o->name = name;
    },
    // description
    [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    // logical_position
    [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
      auto* o = static_cast<Output*>(data);
      o->x = x;
      o->y = y;
    },
    // logical_size
    [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
      auto* o = static_cast<Output*>(data);
      o->width = width;
      o->height = height;
      o->logical = true;
    },
    // done: from version 3 on wl_output's done closes each change instead
    [](void* data, zxdg_output_v1* xdg) {
      if (zxdg_output_v1_get_version(xdg) < 3) static_cast<Output*>(data)->done();
    },
    // name
    [](void* data, zxdg_output_v1*, const char* name) { static_cast<Output*>(data)->name = name; },
    // description
    [](void*, zxdg_output_v1*, const char*) {},
};

}  // namespace

WaylandOutputs::WaylandOutputs(WaylandConnection& connection) : connection_(connection) {
  xdgManager_ = connection_.bindFirst(&zxdg_output_manager_v1_interface, 3);
  for (const auto& [name, global] : connection_.globals()) {
    if (global.interface == wl_output_interface.name) add(name, global.version);
  }
  connection_.setGlobalHandlers(
      [this](std::uint32_t name, const WaylandConnection::Global& global) {
        if (global.interface == wl_output_interface.name) add(name, global.version);
      },
      [this](std::uint32_t name) { remove(name); });
}

WaylandOutputs::~WaylandOutputs() {
  connection_.setGlobalHandlers(nullptr, nullptr);
  outputs_.clear();
  if (xdgManager_ != nullptr) zxdg_output_manager_v1_destroy(static_cast<zxdg_output_manager_v1*>(xdgManager_));
}

void WaylandOutputs::add(std::uint32_t name, std::uint32_t) {
  auto o = std::make_unique<Output>();
  o->owner = this;
  o->id = name;
  o->output = static_cast<wl_output*>(connection_.bind(name, &wl_output_interface, 4));
  if (o->output == nullptr) return;
  wl_output_add_listener(o->output, &kOutputListener, o.get());
  if (xdgManager_ != nullptr) {
    o->xdg = zxdg_output_manager_v1_get_xdg_output(static_cast<zxdg_output_manager_v1*>(xdgManager_), o->output);
    zxdg_output_v1_add_listener(o->xdg, &kXdgOutputListener, o.get());
  }
  outputs_[name] = std::move(o);
}

void WaylandOutputs::remove(std::uint32_t name) {
  if (outputs_.erase(name) > 0 && changed_) changed_();
}

std::vector<ScreenDisplay> WaylandOutputs::displays() const {
  std::vector<ScreenDisplay> list;
  for (const auto& [name, o] : outputs_) {
    if (!o->described) continue;
    auto d = o->display();
    if (d.width <= 0 || d.height <= 0) continue;
    list.push_back(std::move(d));
  }
  bool marked = false;
  for (auto& d : list) {
    if (d.x == 0 && d.y == 0 && !marked) d.isMain = marked = true;
  }
  if (!marked && !list.empty()) list.front().isMain = true;
  return list;
}

wl_output* WaylandOutputs::output(std::uint32_t id) const {
  auto it = outputs_.find(id);
  return it == outputs_.end() ? nullptr : it->second->output;
}

}  // namespace ambrel
