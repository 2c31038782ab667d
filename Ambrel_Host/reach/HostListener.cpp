#include "Ambrel_Host/reach/HostListener.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
using tcp = boost::asio::ip::tcp;

// Errors that concern one incoming connection, not the listener.
bool isTransient(const boost::system::error_code& ec) {
  return ec == boost::asio::error::connection_aborted || ec == boost::asio::error::connection_reset ||
         ec == boost::asio::error::try_again || ec.value() == EPROTO || ec.value() == EPERM;
}

// Errors that pass once resources are freed; accepting again at once would spin.
bool isExhaustion(const boost::system::error_code& ec) {
  return ec == boost::asio::error::no_buffer_space || ec == boost::asio::error::no_memory ||
         ec.value() == EMFILE || ec.value() == ENFILE;
}
}  // namespace

struct HostListener::State {
  explicit State(corvel::Executor ex) : acceptor(ex), pause(ex) {}
  tcp::acceptor acceptor;
  boost::asio::steady_timer pause;
  ConnectionHandler onConnection;
  FailureHandler onFailure;
  bool cancelled = false;
};

HostListener::HostListener(corvel::Executor executor, std::uint16_t port)
    : port_(port), state_(std::make_shared<State>(std::move(executor))) {}

HostListener::~HostListener() { cancel(); }

std::error_code HostListener::start(ConnectionHandler onConnection, FailureHandler onFailure) {
  auto& acceptor = state_->acceptor;
  boost::system::error_code ec;
  // Dual-stack first; a machine without IPv6 gets IPv4 only.
  acceptor.open(tcp::v6(), ec);
  if (!ec) {
    acceptor.set_option(boost::asio::ip::v6_only(false), ec);
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor.bind(tcp::endpoint(tcp::v6(), port_), ec);
    if (ec) acceptor.close();
  }
  if (ec || !acceptor.is_open()) {
    ec.clear();
    acceptor.open(tcp::v4(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(tcp::endpoint(tcp::v4(), port_), ec);
  }
  if (!ec) acceptor.listen(tcp::socket::max_listen_connections, ec);
  if (ec) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return ec;
  }
  state_->onConnection = std::move(onConnection);
  state_->onFailure = std::move(onFailure);
  acceptNext();
  return {};
}

void HostListener::acceptNext() {
  auto state = state_;
  state->acceptor.async_accept([state, this](const boost::system::error_code& ec,
                                             tcp::socket socket) {
    if (state->cancelled) return;
    if (!ec) {
      state->onConnection(std::move(socket));
    } else if (isExhaustion(ec)) {
      corvel::Log::host("net").warn("accept failed: {}; pausing", ec.message());
      state->pause.expires_after(std::chrono::milliseconds(100));
      state->pause.async_wait([state, this](const boost::system::error_code&) {
        if (!state->cancelled) acceptNext();
      });
      return;
    } else if (!isTransient(ec)) {
      state->cancelled = true;
      if (state->onFailure) state->onFailure(ec);
      return;
    } else {
      corvel::Log::host("net").warn("accept failed: {}", ec.message());
    }
    if (!state->cancelled) acceptNext();
  });
}

void HostListener::cancel() {
  if (!state_ || state_->cancelled) return;
  state_->cancelled = true;
  boost::system::error_code ignored;
  state_->acceptor.close(ignored);
  state_->pause.cancel();
}

}  // namespace ambrel
