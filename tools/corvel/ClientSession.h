#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/net/Connector.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/MessageType.h"
#include "tools/corvel/ClientOptions.h"

namespace corvel::cloud {
class NatPuncher;
}

namespace corvel::tool {

// One connection to a host as the commands share it: dials (or, for a host id, races the
// addresses of its cloud record), proves the code, checks the pinned
// fingerprint, says hello, pings, runs the input script once admitted, leaves on a signal (saying
// bye), on the host's bye or when `seconds` are up, and turns the outcome into an exit status.
// Everything, the hooks included, runs on the session's loop, which is the thread of `run()`.
class ClientSession {
 public:
  explicit ClientSession(const ClientOptions& options);
  ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Fills in what the command adds to the hello (codecs, role).
  std::function<void(protocol::Hello&)> onHello;
  std::function<void()> onReady;
  // Every message but pong; bye ends the session after it.
  std::function<void(protocol::MessageType, const Bytes&)> onMessage;

  // Runs until the session ends; the exit status.
  int run();
  // Says bye to the host when connected, then ends with status 0 (a signal, a closed window).
  void leave();
  // Calls `done` once the host has handled everything sent before: a ping that it answers in
  // order with the rest.
  void sync(std::function<void()> done);
  void finish(int exitCode);

  net::CorvelConnection& connection() { return *connection_; }
  Executor executor() { return loop_->executor(); }

 private:
  // For a host id: looks its record up and races its addresses; false (exit status set) when
  // there is nothing to race.
  bool startRace(net::CorvelConnection::Handlers handlers);
  void raced(net::ConnectOutcome outcome);
  void changed(const net::ConnectionState& state);
  void received(protocol::MessageType type, const Bytes& payload);
  void schedulePing();
  void runInput();

  const ClientOptions& options_;
  // Shared only so that the connection's handlers can hold it weakly.
  std::shared_ptr<MainLoop> loop_;
  std::shared_ptr<net::CorvelConnection> connection_;
  std::shared_ptr<net::Connector> race_;
  std::shared_ptr<cloud::NatPuncher> puncher_;  // for a host id, with --hole-punch
  boost::asio::steady_timer pings_{loop_->executor()};
  boost::asio::steady_timer deadline_{loop_->executor()};
  boost::asio::steady_timer inputTimer_{loop_->executor()};
  boost::asio::signal_set signals_{loop_->context(), SIGINT, SIGTERM};
  int exitCode_ = ExitCode::networkFailure;
  bool wasReady_ = false;
  bool inputStarted_ = false;
  std::size_t nextStep_ = 0;
  std::map<std::uint64_t, std::function<void()>> syncs_;  // by the ping's payload
  std::uint64_t nextSync_ = 0;
};

}  // namespace corvel::tool
