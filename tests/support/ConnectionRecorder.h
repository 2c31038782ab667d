#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "CorvelKit/net/CorvelConnection.h"

namespace corvel::test {

using net::ConnectionState;
using net::CorvelConnection;
using protocol::MessageType;

// Records what a connection reports, and lets a test wait for it.
//
//   auto c = CorvelConnection::client(endpoint, code, events.handlers(), {...});
//   events.track(c);
class ConnectionRecorder {
 private:
  // What the handlers write to, shared with them: a callback still under way when the recorder
  // goes (detach() does not wait for it) writes into memory that is still there.
  struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ConnectionState> states;
    std::vector<std::pair<MessageType, Bytes>> messages;
  };
  std::shared_ptr<Log> log_ = std::make_shared<Log>();

 public:
  std::mutex& mutex = log_->mutex;
  std::condition_variable& changed = log_->changed;
  std::vector<ConnectionState>& states = log_->states;
  std::vector<std::pair<MessageType, Bytes>>& messages = log_->messages;

  ConnectionRecorder() = default;
  ConnectionRecorder(const ConnectionRecorder&) = delete;
  ConnectionRecorder& operator=(const ConnectionRecorder&) = delete;
  // Tracked connections end with the recorder, and tell it nothing more.
  ~ConnectionRecorder() {
    for (auto& weak : tracked_) {
      if (auto c = weak.lock()) {
        c->cancel();
        c->detach();
      }
    }
  }

  // Handlers that record into this recorder, to give a connection when it is made.
  CorvelConnection::Handlers handlers() const {
    CorvelConnection::Handlers h;
    h.state = [log = log_](const ConnectionState& s) {
      std::lock_guard lock(log->mutex);
      log->states.push_back(s);
      log->changed.notify_all();
    };
    h.message = [log = log_](MessageType t, Bytes& p) {
      std::lock_guard lock(log->mutex);
      log->messages.emplace_back(t, std::move(p));
      log->changed.notify_all();
    };
    return h;
  }
  // Cancels and detaches `c` when the recorder goes.
  void track(const std::shared_ptr<CorvelConnection>& c) { tracked_.push_back(c); }

  bool waitFor(std::function<bool()> condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, condition);
  }
  bool waitForState(ConnectionState::Kind kind) {
    return waitFor([&] {
      for (auto& s : states)
        if (s.kind == kind) return true;
      return false;
    });
  }
  bool ended() {
    for (auto& s : states)
      if (s.kind == ConnectionState::Kind::failed || s.kind == ConnectionState::Kind::cancelled)
        return true;
    return false;
  }
  int count(ConnectionState::Kind kind) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (auto& s : states) n += s.kind == kind;
    return n;
  }
  ConnectionState last() {
    std::lock_guard lock(mutex);
    return states.back();
  }

 private:
  std::vector<std::weak_ptr<CorvelConnection>> tracked_;
};

}  // namespace corvel::test
