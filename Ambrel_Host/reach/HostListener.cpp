#include "Ambrel_Host/reach/HostListener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"

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

  // Out of descriptors: the spare one is given up for a moment to take the waiting connection
  // off the queue. If descriptors turn out to be free again (the failure was already old), it
  // is served; otherwise it is closed, so that the queue doesn't fill with connections nobody
  // serves. False when nothing was taken (no spare, or no connection waiting: the kernel refuses
  // accept for want of a descriptor even when its queue is empty).
  bool takeOne() {
    if (!spare) return false;
    spare.reset();
    const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    spare = corvel::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (fd < 0) return false;
    if (spare) {
      tcp::socket socket(acceptor.get_executor());
      boost::system::error_code ec;
      socket.assign(acceptor.local_endpoint(ec).protocol(), fd, ec);
      if (!ec) {
        onConnection(std::move(socket));
        return true;
      }
    }
    corvel::Log::host("net").warn("out of descriptors: the newest connection was shed");
    ::close(fd);
    if (!spare) spare = corvel::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return true;
  }

  tcp::acceptor acceptor;
  boost::asio::steady_timer pause;
  corvel::UniqueFd spare{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
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
    if (ec) {
      boost::system::error_code ignored;
      acceptor.close(ignored);
    }
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
    } else if ((ec.value() == EMFILE || ec.value() == ENFILE) && state->takeOne()) {
      // Taken off the queue, served or shed; go on accepting.
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
