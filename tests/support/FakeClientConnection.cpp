#include "tests/support/FakeClientConnection.h"

#include "CorvelKit/protocol/Bye.h"

namespace ambrel::test {

using corvel::protocol::MessageType;

void FakeClientConnection::start(ConnectionEvents events) {
  std::lock_guard lock(mutex_);
  events_ = std::move(events);
}

void FakeClientConnection::send(MessageType type, corvel::ByteView payload, Completion completion) {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) {
      if (completion) completion(make_error_code(corvel::net::ConnectionErrc::notConnected));
      return;
    }
    sent_.emplace_back(type, corvel::Bytes(payload.begin(), payload.end()));
  }
  if (completion) completion({});
}

void FakeClientConnection::cancel() {
  decltype(events_.state) state;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    state = events_.state;
  }
  if (state) state({corvel::net::ConnectionState::Kind::cancelled, {}, false});
}

void FakeClientConnection::detach() {
  std::lock_guard lock(mutex_);
  events_ = {};
}

void FakeClientConnection::deliver(MessageType type, corvel::Bytes payload) {
  decltype(events_.message) message;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    message = events_.message;
  }
  if (message) message(type, payload);
}

void FakeClientConnection::fail(bool wrongCode) {
  decltype(events_.state) state;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    state = events_.state;
  }
  corvel::net::ConnectionState failed{corvel::net::ConnectionState::Kind::failed,
                                      std::make_error_code(std::errc::connection_reset), wrongCode};
  if (state) state(failed);
}

void FakeClientConnection::hangUp() { fail(false); }

std::vector<std::pair<MessageType, corvel::Bytes>> FakeClientConnection::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

int FakeClientConnection::count(MessageType type) const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& [t, payload] : sent_) n += t == type ? 1 : 0;
  return n;
}

std::optional<std::string> FakeClientConnection::byeReason() const {
  auto bye = last<corvel::protocol::Bye>(MessageType::bye);
  if (!bye) return std::nullopt;
  return bye->reason;
}

bool FakeClientConnection::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

}  // namespace ambrel::test
