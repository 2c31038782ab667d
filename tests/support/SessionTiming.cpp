#include "tests/support/SessionTiming.h"

#include <chrono>

#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Hello.h"
#include "tests/support/ConnectionRecorder.h"

namespace corvel::test {

using namespace std::chrono_literals;
using protocol::MessageType;

double timedSession(const std::string& code, const security::SecureIdentity& identity) {
  const auto start = std::chrono::steady_clock::now();
  ConnectionRecorder events;
  auto c = net::CorvelConnection::client({"::1", 5895}, code, events.handlers(), {.identity = &identity});
  events.track(c);
  c->start();
  if (!events.waitForState(net::ConnectionState::Kind::ready)) return -1;
  protocol::Hello hello;
  hello.deviceName = "Good";
  hello.protocolVersion = 2;
  c->sendJSON(MessageType::hello, hello);
  const bool acked = events.waitFor([&] {
    for (auto& [t, p] : events.messages)
      if (t == MessageType::helloAck) return true;
    return false;
  }, 5s);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  c->cancel();
  return acked ? ms : -1;
}

}  // namespace corvel::test
