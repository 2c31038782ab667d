#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/base/Executors.h"

namespace ambrel {

// The host's TCP listener on one fixed port (5895), dual-stack where IPv6 is there, with address
// reuse so that a restart binds the port again at once. Runs on the executor it is given (the
// controller's). TLS and everything above it belong to each accepted connection.
class HostListener {
 public:
  using ConnectionHandler = std::function<void(boost::asio::ip::tcp::socket)>;
  // Called once when accepting fails for good (not when the listener is cancelled).
  using FailureHandler = std::function<void(std::error_code)>;

  static constexpr std::uint16_t defaultPort = 5895;

  HostListener(corvel::Executor executor, std::uint16_t port = defaultPort);
  ~HostListener();
  HostListener(const HostListener&) = delete;
  HostListener& operator=(const HostListener&) = delete;

  // Binds and starts accepting; the error when the port can't be bound (then nothing is
  // accepted and no handler runs).
  [[nodiscard]] std::error_code start(ConnectionHandler onConnection, FailureHandler onFailure);
  // Stops accepting and closes the port; no handler runs afterwards.
  void cancel();

  std::uint16_t port() const { return port_; }

 private:
  struct State;
  void acceptNext();

  std::uint16_t port_;
  std::shared_ptr<State> state_;
};

}  // namespace ambrel
