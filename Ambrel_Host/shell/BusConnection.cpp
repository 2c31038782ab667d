#include "Ambrel_Host/shell/BusConnection.h"

#include <systemd/sd-bus.h>

namespace ambrel {

int openBus(sd_bus** out, const std::optional<std::string>& address, BusKind kind) {
  *out = nullptr;
  sd_bus* bus = nullptr;
  int r = 0;
  if (address) {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  } else {
    r = kind == BusKind::session ? sd_bus_open_user(&bus) : sd_bus_open_system(&bus);
  }
  if (r < 0) {
    sd_bus_unref(bus);
    return r;
  }
  *out = bus;
  return 0;
}

}  // namespace ambrel
