#include "tests/shell/PrivateBus.h"

#include <unistd.h>

#include <future>
#include <stdexcept>

#include <systemd/sd-bus.h>

namespace ambrel::test {

namespace {
constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
}

bool PrivateBus::available() { return ::access(kDaemon, X_OK) == 0; }

PrivateBus::PrivateBus() {
  daemon_ = std::make_unique<corvel::test::ChildProcess>(
      kDaemon, std::vector<std::string>{"--session", "--nofork", "--print-address=1",
                                        "--address=unix:path=" + (folder_.path() / "bus").string()});
  if (!daemon_->waitForText("\n", std::chrono::seconds(10))) {
    throw std::runtime_error("dbus-daemon did not start: " + daemon_->errors());
  }
  address_ = daemon_->output();
  address_.erase(address_.find('\n'));
}

PrivateBus::~PrivateBus() = default;

BusService::BusService(const std::string& address, const std::string& name,
                       std::function<void(sd_bus*)> setUp) {
  std::promise<void> ready;
  auto started = ready.get_future();
  thread_ = std::thread([&, address, name, setUp = std::move(setUp)] {
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
    if (r >= 0) setUp(bus_);
    if (r >= 0) r = sd_bus_request_name(bus_, name.c_str(), 0);
    if (r < 0) {
      ready.set_exception(std::make_exception_ptr(std::runtime_error("bus service failed")));
      return;
    }
    ready.set_value();
    while (!stop_) {
      r = sd_bus_process(bus_, nullptr);
      if (r > 0) continue;
      if (r < 0) break;
      sd_bus_wait(bus_, 50'000);
    }
  });
  try {
    started.get();
  } catch (...) {
    thread_.join();
    sd_bus_flush_close_unref(bus_);
    throw;
  }
}

BusService::~BusService() {
  stop_ = true;
  thread_.join();
  sd_bus_flush_close_unref(bus_);
}

}  // namespace ambrel::test
