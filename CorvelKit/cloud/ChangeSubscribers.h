#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "CorvelKit/cloud/CloudDatabase.h"

namespace corvel::cloud {

// The change handlers of one store, by subscription identifier, and the thread that watches the
// database for changes once the first handler is saved. The store gives the watch; the watch
// calls signal() for every change it sees, until it is asked to stop.
//
// A store keeps this as its last member: it is destroyed first, so the watch (which reads the
// store's other members) has ended before they go.
class ChangeSubscribers {
 public:
  using Watch = std::function<void(std::stop_token stop)>;

  explicit ChangeSubscribers(Watch watch) : watch_(std::move(watch)) {}
  // Stops the watch and waits for it.
  ~ChangeSubscribers();
  ChangeSubscribers(const ChangeSubscribers&) = delete;
  ChangeSubscribers& operator=(const ChangeSubscribers&) = delete;

  // Saving an identifier again replaces its handler.
  void save(std::string_view identifier, CloudDatabase::ChangeHandler handler);
  void remove(std::string_view identifier);
  // Calls every handler, on the calling thread and outside the lock (a handler may save or remove).
  void signal();

  // Waits for `duration`, or less when the watch is asked to stop.
  static void pause(const std::stop_token& stop, std::chrono::milliseconds duration);

 private:
  const Watch watch_;
  std::mutex mutex_;  // guards handlers_ and thread_
  std::map<std::string, CloudDatabase::ChangeHandler, std::less<>> handlers_;
  std::jthread thread_;
};

}  // namespace corvel::cloud
