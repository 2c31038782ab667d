#include "Ambrel_Host/shell/DBusNotifier.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/shell/BusConnection.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& notifyLog() { return corvel::Log::host("app"); }

constexpr std::uint64_t kCallTimeoutMicroseconds = 5'000'000;

void logNotification(const std::string& title, const std::string& body) {
  notifyLog().info("notification: {} — {}", title, body);
}
}  // namespace

// Touched on the queue only, except the counter.
struct DBusNotifier::State {
  std::optional<std::string> address;
  sd_bus* bus = nullptr;
  bool warnedNoBus = false;
  std::atomic<int> delivered{0};

  ~State() { close(); }

  void close() {
    if (bus) bus = sd_bus_flush_close_unref(bus);
  }

  bool connect() {
    if (bus) return true;
    int r = openBus(&bus, address, BusKind::session);
    if (r < 0) {
      if (!warnedNoBus) {
        notifyLog().warn("no session bus ({}); notifications go to the log", std::strerror(-r));
        warnedNoBus = true;
      }
      return false;
    }
    warnedNoBus = false;
    return true;
  }

  void deliver(const std::string& title, const std::string& body) {
    if (!connect()) return logNotification(title, body);
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.Notifications",
                                           "/org/freedesktop/Notifications",
                                           "org.freedesktop.Notifications", "Notify");
    if (r >= 0) {
      r = sd_bus_message_append(call, "susssasa{sv}i", "Ambrel Host", 0u, "", title.c_str(),
                                body.c_str(), 0, 0, -1);
    }
    if (r >= 0) r = sd_bus_call(bus, call, kCallTimeoutMicroseconds, &error, &reply);
    if (r >= 0) {
      ++delivered;
    } else {
      notifyLog().warn("couldn't show a notification: {}",
                       error.message ? error.message : std::strerror(-r));
      logNotification(title, body);
      // A broken connection is opened again next time.
      if (r == -ENOTCONN || r == -ECONNRESET || r == -EPIPE || !sd_bus_is_open(bus)) close();
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
  }
};

DBusNotifier::DBusNotifier(std::optional<std::string> busAddress)
    : state_(std::make_shared<State>()) {
  state_->address = std::move(busAddress);
}

DBusNotifier::~DBusNotifier() = default;

void DBusNotifier::post(const std::string& title, const std::string& body) {
  queue_.post([state = state_, title, body] { state->deliver(title, body); });
}

void DBusNotifier::flush() {
  std::promise<void> done;
  auto future = done.get_future();
  queue_.post([&done] { done.set_value(); });
  future.wait();
}

int DBusNotifier::delivered() const { return state_->delivered.load(); }

}  // namespace ambrel
