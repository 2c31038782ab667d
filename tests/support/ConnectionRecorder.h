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
struct ConnectionRecorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ConnectionState> states;
  std::vector<std::pair<MessageType, Bytes>> messages;

  ConnectionRecorder() = default;
  ConnectionRecorder(const ConnectionRecorder&) = delete;
  ConnectionRecorder& operator=(const ConnectionRecorder&) = delete;
  // The connections' callbacks point here: none may run once the recorder is gone.
  ~ConnectionRecorder() {
    for (auto& weak : attached) {
      if (auto c = weak.lock()) {
        c->cancel();
        c->detach();
      }
    }
  }

  std::vector<std::weak_ptr<CorvelConnection>> attached;

  void attach(CorvelConnection& c) {
    attached.push_back(c.weak_from_this());
    c.onStateChange = [this](const ConnectionState& s) {
      std::lock_guard lock(mutex);
      states.push_back(s);
      changed.notify_all();
    };
    c.onMessage = [this](MessageType t, Bytes p) {
      std::lock_guard lock(mutex);
      messages.emplace_back(t, std::move(p));
      changed.notify_all();
    };
  }
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
};

}  // namespace corvel::test
