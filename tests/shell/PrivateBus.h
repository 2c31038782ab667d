#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

struct sd_bus;

namespace ambrel::test {

// A dbus-daemon of the test's own, on a socket in a temporary folder.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  static bool available();  // dbus-daemon is installed
  const std::string& address() const { return address_; }

 private:
  corvel::test::TemporaryFolder folder_;
  std::unique_ptr<corvel::test::ChildProcess> daemon_;
  std::string address_;
};

// One connection to a bus that owns a name and serves objects from a thread of its own until it
// is destroyed. `setUp` runs on that thread, with the connection, before serving starts.
class BusService {
 public:
  BusService(const std::string& address, const std::string& name,
             std::function<void(sd_bus*)> setUp);
  ~BusService();

 private:
  sd_bus* bus_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace ambrel::test
