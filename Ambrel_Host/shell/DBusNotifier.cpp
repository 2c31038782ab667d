#include "Ambrel_Host/shell/DBusNotifier.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <map>

#include <boost/asio/steady_timer.hpp>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/shell/BusConnection.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& notifyLog() { return corvel::Log::host("app"); }

constexpr std::uint64_t kCallTimeoutMicroseconds = 5'000'000;
// How often the bus is looked at for a chosen action, and how many file notifications are kept
// (the oldest is forgotten).
constexpr auto kActionPoll = std::chrono::milliseconds(250);
constexpr std::size_t kKeptFiles = 32;

void logNotification(const std::string& title, const std::string& body) {
  notifyLog().info("notification: {} — {}", title, body);
}
}  // namespace

// Touched on the queue only, except the counter.
struct DBusNotifier::State : std::enable_shared_from_this<State> {
  explicit State(corvel::SerialQueue& q) : timer(q.executor()) {}

  std::optional<std::string> address;
  Opener open;
  sd_bus* bus = nullptr;
  sd_bus_slot* signals = nullptr;
  bool warnedNoBus = false;
  std::optional<bool> showsActions;  // asked once per connection
  std::map<std::uint32_t, std::filesystem::path> files;  // on screen with an "Open" action
  boost::asio::steady_timer timer;
  bool polling = false;
  std::atomic<int> delivered{0};

  ~State() { close(); }

  void close() {
    if (signals) signals = sd_bus_slot_unref(signals);
    if (bus) bus = sd_bus_flush_close_unref(bus);
    showsActions.reset();
    files.clear();
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

  // Whether the server shows actions: "actions" among its capabilities.
  bool actionsShown() {
    if (showsActions) return *showsActions;
    showsActions = false;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};
    if (sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "GetCapabilities", &error, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
      const char* capability = nullptr;
      while (sd_bus_message_read(reply, "s", &capability) > 0) {
        if (std::strcmp(capability, "actions") == 0) showsActions = true;
      }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return *showsActions;
  }

  void deliver(const std::string& title, const std::string& body,
               const std::optional<std::filesystem::path>& file = std::nullopt) {
    if (!connect()) return logNotification(title, body);
    const bool offerOpen = file && open && actionsShown() && listen();
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.Notifications",
                                           "/org/freedesktop/Notifications",
                                           "org.freedesktop.Notifications", "Notify");
    if (r >= 0) r = sd_bus_message_append(call, "susss", "Ambrel Host", 0u, "", title.c_str(), body.c_str());
    // Clicking the notification or its button opens the file.
    if (r >= 0 && offerOpen) r = sd_bus_message_append(call, "as", 4, "default", "Open", "open", "Open");
    if (r >= 0 && !offerOpen) r = sd_bus_message_append(call, "as", 0);
    if (r >= 0) r = sd_bus_message_append(call, "a{sv}i", 0, -1);
    if (r >= 0) r = sd_bus_call(bus, call, kCallTimeoutMicroseconds, &error, &reply);
    if (r >= 0) {
      ++delivered;
      std::uint32_t id = 0;
      if (offerOpen && sd_bus_message_read(reply, "u", &id) >= 0) watch(id, *file);
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

  // Hears the server's signals from before the notification is shown (a choice may come at once).
  bool listen() {
    if (signals) return true;
    return sd_bus_match_signal(bus, &signals, nullptr, "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", nullptr, &State::signal, this) >= 0;
  }

  void watch(std::uint32_t id, const std::filesystem::path& file) {
    files[id] = file;
    if (files.size() > kKeptFiles) files.erase(files.begin());
    schedulePoll();
  }

  static int signal(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* s = static_cast<State*>(self);
    std::uint32_t id = 0;
    if (sd_bus_message_is_signal(m, nullptr, "ActionInvoked")) {
      const char* key = nullptr;
      if (sd_bus_message_read(m, "us", &id, &key) < 0) return 0;
      auto it = s->files.find(id);
      if (it == s->files.end()) return 0;
      if (std::strcmp(key, "open") == 0 || std::strcmp(key, "default") == 0) s->open(it->second);
      s->files.erase(it);
    } else if (sd_bus_message_is_signal(m, nullptr, "NotificationClosed")) {
      if (sd_bus_message_read(m, "u", &id) >= 0) s->files.erase(id);
    }
    return 0;
  }

  // While file notifications are on screen, the bus is read for their actions.
  void schedulePoll() {
    if (polling) return;
    polling = true;
    timer.expires_after(kActionPoll);
    timer.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      auto s = weak.lock();
      if (!s || ec) return;
      s->polling = false;
      if (!s->bus) return;
      while (sd_bus_process(s->bus, nullptr) > 0) {
      }
      if (!s->files.empty()) s->schedulePoll();
    });
  }
};

DBusNotifier::DBusNotifier(std::optional<std::string> busAddress, Opener open)
    : state_(std::make_shared<State>(queue_)) {
  state_->address = std::move(busAddress);
  state_->open = std::move(open);
}

DBusNotifier::~DBusNotifier() = default;

void DBusNotifier::post(const std::string& title, const std::string& body) {
  queue_.post([state = state_, title, body] { state->deliver(title, body); });
}

void DBusNotifier::postFile(const std::string& title, const std::string& body,
                            const std::filesystem::path& file) {
  queue_.post([state = state_, title, body, file] { state->deliver(title, body, file); });
}

void DBusNotifier::flush() {
  std::promise<void> done;
  auto future = done.get_future();
  queue_.post([&done] { done.set_value(); });
  future.wait();
}

int DBusNotifier::delivered() const { return state_->delivered.load(); }

}  // namespace ambrel
