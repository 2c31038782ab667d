#include "CorvelKit/cloud/ChangeSubscribers.h"

#include <condition_variable>
#include <vector>

namespace corvel::cloud {

ChangeSubscribers::~ChangeSubscribers() {
  std::jthread thread;
  {
    std::lock_guard lock(mutex_);
    thread = std::move(thread_);
  }
  // jthread's destructor asks the watch to stop and joins it, outside the lock signal() takes.
}

void ChangeSubscribers::save(std::string_view identifier, CloudDatabase::ChangeHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_.insert_or_assign(std::string(identifier), std::move(handler));
  if (!thread_.joinable()) {
    thread_ = std::jthread([this](std::stop_token stop) { watch_(std::move(stop)); });
  }
}

void ChangeSubscribers::remove(std::string_view identifier) {
  std::lock_guard lock(mutex_);
  if (auto it = handlers_.find(identifier); it != handlers_.end()) handlers_.erase(it);
}

void ChangeSubscribers::signal() {
  std::vector<CloudDatabase::ChangeHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, handler] : handlers_) handlers.push_back(handler);
  }
  for (const auto& handler : handlers) {
    if (handler) handler();
  }
}

void ChangeSubscribers::pause(const std::stop_token& stop, std::chrono::milliseconds duration) {
  std::mutex m;
  std::unique_lock lock(m);
  std::condition_variable_any().wait_for(lock, stop, duration, [] { return false; });
}

}  // namespace corvel::cloud
