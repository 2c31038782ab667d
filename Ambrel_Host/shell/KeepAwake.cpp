#include "Ambrel_Host/shell/KeepAwake.h"

#include <fcntl.h>

#include <cstring>
#include <future>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/shell/BusConnection.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"

namespace ambrel {

namespace {
auto& awakeLog() { return corvel::Log::host("app"); }
constexpr std::uint64_t kCallTimeoutMicroseconds = 5'000'000;
}  // namespace

// Touched on the queue only.
struct KeepAwake::State {
  std::optional<std::string> address;
  corvel::UniqueFd inhibitor;
  bool warned = false;

  void warnOnce(const char* what, const char* detail) {
    if (warned) return;
    warned = true;
    awakeLog().warn("{} ({}); the computer may sleep during sessions", what, detail);
  }

  void begin() {
    if (inhibitor) return;
    sd_bus* bus = nullptr;
    int r = openBus(&bus, address, BusKind::system);
    if (r < 0) {
      warnOnce("no system bus", std::strerror(-r));
      return;
    }
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL
    r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                       "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0) {
      r = sd_bus_message_append(call, "ssss", "idle:sleep", "Ambrel Host", "Ambrel remote session",
                                "block");
    }
    if (r >= 0) r = sd_bus_call(bus, call, kCallTimeoutMicroseconds, &error, &reply);
    int fd = -1;
    if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
    if (r >= 0) {
      // The reply owns the descriptor it carries: keep a copy of our own.
      inhibitor = corvel::UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
      if (!inhibitor) warnOnce("couldn't keep the inhibitor", std::strerror(errno));
    } else {
      warnOnce("logind refused the inhibitor", error.message ? error.message : std::strerror(-r));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
  }

  void end() { inhibitor.reset(); }
};

KeepAwake::KeepAwake(std::optional<std::string> busAddress) : state_(std::make_shared<State>()) {
  state_->address = std::move(busAddress);
}

KeepAwake::~KeepAwake() { end(); }

void KeepAwake::begin() {
  queue_.post([state = state_] { state->begin(); });
}

void KeepAwake::end() {
  queue_.post([state = state_] { state->end(); });
}

bool KeepAwake::flush() {
  std::promise<bool> held;
  auto future = held.get_future();
  queue_.post([&held, state = state_] { held.set_value(static_cast<bool>(state->inhibitor)); });
  return future.get();
}

}  // namespace ambrel
