#include "CorvelKit/net/StunClient.h"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <array>
#include <memory>

#include "CorvelKit/base/Log.h"

namespace corvel::net {

namespace {

using boost::asio::ip::udp;

auto& log() { return Log::core("nat"); }

// One discovery: its socket, timer and the handler still owed a result. Lives on its strand.
struct Attempt : std::enable_shared_from_this<Attempt> {
  Attempt(const Executor& executor, StunClient::Handler handler)
      : strand(asio::make_strand(executor)),
        resolver(strand),
        socket(strand),
        timer(strand),
        handler(std::move(handler)) {}

  void finish(std::optional<StunClient::Discovery> result) {
    if (!handler) return;
    auto done = std::move(handler);
    handler = nullptr;
    boost::system::error_code ignored;
    timer.cancel();
    resolver.cancel();
    socket.close(ignored);
    done(std::move(result));
  }

  void send(const udp::endpoint& server, std::uint16_t localPort) {
    boost::system::error_code error;
    socket.open(server.protocol(), error);
    if (!error) socket.set_option(udp::socket::reuse_address(true), error);
    if (!error) socket.bind(udp::endpoint(server.protocol(), localPort), error);
    if (!error) socket.connect(server, error);
    if (error) {
      log().info("STUN: no socket toward the server ({})", error.message());
      return finish(std::nullopt);
    }
    request = Stun::request(transactionID);
    socket.async_send(asio::buffer(request),
                      [self = shared_from_this()](boost::system::error_code sent, std::size_t) {
                        if (sent) return self->finish(std::nullopt);
                        self->receive();
                      });
  }

  void receive() {
    socket.async_receive(asio::buffer(answer), [self = shared_from_this()](
                                                   boost::system::error_code error, std::size_t n) {
      if (error) return self->finish(std::nullopt);
      auto reflexive =
          Stun::reflexiveAddress(ByteView(self->answer.data(), n), self->transactionID);
      if (!reflexive) return self->finish(std::nullopt);
      boost::system::error_code ignored;
      const auto local = self->socket.local_endpoint(ignored);
      self->finish(StunClient::Discovery{std::move(*reflexive), ignored ? std::uint16_t{0} : local.port()});
    });
  }

  asio::strand<Executor> strand;
  udp::resolver resolver;
  udp::socket socket;
  asio::steady_timer timer;
  StunClient::Handler handler;
  Bytes transactionID = Stun::newTransactionID();
  Bytes request;
  // A binding response with its address is far smaller; anything longer is cut and then refused.
  std::array<std::uint8_t, 1500> answer{};
};

}  // namespace

void StunClient::discover(Executor executor, std::string serverHost, std::uint16_t serverPort,
                          std::chrono::milliseconds timeout, Handler handler,
                          std::uint16_t localPort) {
  auto attempt = std::make_shared<Attempt>(executor, std::move(handler));
  asio::dispatch(attempt->strand, [attempt, serverHost = std::move(serverHost), serverPort,
                                   timeout, localPort] {
    attempt->timer.expires_after(timeout);
    attempt->timer.async_wait([attempt](boost::system::error_code error) {
      if (!error) attempt->finish(std::nullopt);
    });
    attempt->resolver.async_resolve(
        serverHost, std::to_string(serverPort),
        [attempt, localPort](boost::system::error_code error, udp::resolver::results_type found) {
          if (error || found.empty()) {
            if (attempt->handler) log().info("STUN: the server's name doesn't resolve");
            return attempt->finish(std::nullopt);
          }
          // IPv4 first: a NAT maps IPv4; IPv6 addresses are usually public anyway.
          auto chosen = found.begin()->endpoint();
          for (const auto& entry : found) {
            if (entry.endpoint().address().is_v4()) {
              chosen = entry.endpoint();
              break;
            }
          }
          if (attempt->handler) attempt->send(chosen, localPort);
        });
  });
}

}  // namespace corvel::net
