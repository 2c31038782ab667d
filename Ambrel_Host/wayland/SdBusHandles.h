#pragma once

#include <memory>
#include <optional>
#include <string>

#include <systemd/sd-bus.h>

namespace ambrel {

// Owning handles for sd-bus objects, and the bus address that the Wayland backends talk to.
struct SdBusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SdBusMessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SdBusSlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using SdBus = std::unique_ptr<sd_bus, SdBusCloser>;
using SdBusMessage = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;
using SdBusSlot = std::unique_ptr<sd_bus_slot, SdBusSlotUnref>;

// An sd_bus_error that frees itself.
struct SdBusError {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL
  SdBusError() = default;
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;
  ~SdBusError() { sd_bus_error_free(&error); }
  sd_bus_error* get() { return &error; }
  std::string text(int r) const {
    if (error.message != nullptr) return error.message;
    if (error.name != nullptr) return error.name;
    return std::to_string(-r);
  }
};

}  // namespace ambrel
