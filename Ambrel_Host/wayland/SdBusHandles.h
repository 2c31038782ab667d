#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

// Reads an a{sv} entry by entry: `onEntry(key)` reads the variant when it wants it (returns
// true), else it is skipped. False when the message does not hold one.
template <class OnEntry>
bool readProperties(sd_bus_message* m, OnEntry onEntry) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'e', "sv");
    if (r < 0) return false;
    if (r == 0) break;
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return false;
    if (!onEntry(std::string_view(key))) {
      if (sd_bus_message_skip(m, "v") < 0) return false;
    }
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

}  // namespace ambrel
