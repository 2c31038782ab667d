#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "CorvelKit/net/NetworkInterfaces.h"

namespace corvel::test {

// An interface list that tests set; counts how often it was asked.
class FakeNetworkInterfaces final : public net::NetworkInterfaces {
 public:
  explicit FakeNetworkInterfaces(std::vector<net::NetworkInterface> interfaces = {})
      : interfaces_(std::move(interfaces)) {}

  std::vector<net::NetworkInterface> list() const override {
    std::lock_guard lock(mutex_);
    ++listed_;
    return interfaces_;
  }
  void set(std::vector<net::NetworkInterface> interfaces) {
    std::lock_guard lock(mutex_);
    interfaces_ = std::move(interfaces);
  }
  int listed() const {
    std::lock_guard lock(mutex_);
    return listed_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<net::NetworkInterface> interfaces_;
  mutable int listed_ = 0;
};

// Installs a fake for the whole process while it lives, then puts back what was there.
class ScopedFakeNetworkInterfaces {
 public:
  explicit ScopedFakeNetworkInterfaces(std::vector<net::NetworkInterface> interfaces = {})
      : fake_(std::make_shared<FakeNetworkInterfaces>(std::move(interfaces))),
        previous_(net::NetworkInterfaces::install(fake_)) {}
  ~ScopedFakeNetworkInterfaces() { net::NetworkInterfaces::install(previous_); }
  ScopedFakeNetworkInterfaces(const ScopedFakeNetworkInterfaces&) = delete;
  ScopedFakeNetworkInterfaces& operator=(const ScopedFakeNetworkInterfaces&) = delete;

  FakeNetworkInterfaces& operator*() { return *fake_; }
  FakeNetworkInterfaces* operator->() { return fake_.get(); }

 private:
  std::shared_ptr<FakeNetworkInterfaces> fake_;
  std::shared_ptr<const net::NetworkInterfaces> previous_;
};

}  // namespace corvel::test
