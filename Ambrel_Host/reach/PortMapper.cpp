#include "Ambrel_Host/reach/PortMapper.h"

#include <algorithm>
#include <array>
#include <boost/asio/ip/udp.hpp>

#include "Ambrel_Host/reach/DefaultGateway.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/net/NatPmp.h"

namespace ambrel {

namespace {

using boost::asio::ip::udp;
using corvel::net::NatPmp;

auto& log() {
  static auto& logger = corvel::Log::host("cloud");
  return logger;
}

}  // namespace

// The socket toward the router, and the one request waiting for its answer.
struct PortMapper::Exchange {
  explicit Exchange(const corvel::Executor& executor) : socket(executor) {}
  udp::socket socket;
  std::array<std::uint8_t, 64> answer{};
  std::optional<std::uint8_t> waitingFor;  // the opcode of the request in flight
};

PortMapper::PortMapper(corvel::Executor executor, std::shared_ptr<corvel::Clock> clock,
                       Options options)
    : executor_(std::move(executor)), clock_(std::move(clock)), options_(std::move(options)) {
  if (!options_.gateway) options_.gateway = [] { return DefaultGateway::current(); };
}

PortMapper::~PortMapper() { stop(); }

void PortMapper::start(std::uint16_t port) {
  stop();
  internalPort_ = port;
  running_ = true;
  begin();
}

void PortMapper::stop() {
  if (!running_) return;
  running_ = false;
  timer_.reset();
  if (exchange_ && external_) {
    // Lifetime 0 and external port 0 remove the mapping; the answer doesn't matter any more.
    const auto remove = NatPmp::mapRequest(NatPmp::mapTCPOpcode, internalPort_, 0, 0);
    boost::system::error_code ignored;
    exchange_->socket.send(boost::asio::buffer(remove), 0, ignored);
  }
  if (exchange_) {
    boost::system::error_code ignored;
    exchange_->socket.close(ignored);
  }
  exchange_.reset();
  address_.clear();
  external_.reset();
}

void PortMapper::begin() {
  timer_.reset();
  auto gateway = options_.gateway();
  boost::system::error_code error;
  boost::asio::ip::address router;
  if (gateway) router = boost::asio::ip::make_address_v4(*gateway, error);
  if (!gateway || error) return failed("no router to ask");

  auto exchange = std::make_shared<Exchange>(executor_);
  exchange->socket.open(udp::v4(), error);
  if (!error) exchange->socket.connect(udp::endpoint(router, options_.gatewayPort), error);
  if (error) return failed("no socket toward the router");
  if (exchange_) {
    boost::system::error_code ignored;
    exchange_->socket.close(ignored);
  }
  exchange_ = exchange;

  receive(exchange);
  send(NatPmp::externalAddressRequest(), NatPmp::externalAddressOpcode, 0);
}

void PortMapper::receive(const std::weak_ptr<Exchange>& weak) {
  auto exchange = weak.lock();
  if (!exchange) return;
  // The exchange has one owner, this object: while it lives, so does this.
  exchange->socket.async_receive(
      boost::asio::buffer(exchange->answer), [this, weak](boost::system::error_code error, std::size_t n) {
        auto held = weak.lock();
        if (!held || held != exchange_ || error == boost::asio::error::operation_aborted) return;
        // A refused datagram (no NAT-PMP on the router) shows as an error: the retries decide.
        if (!error) answered(corvel::ByteView(held->answer.data(), n));
        if (held == exchange_) receive(weak);
      });
}

void PortMapper::send(corvel::Bytes request, std::uint8_t opcode, int attempt) {
  if (!exchange_) return;
  if (attempt >= options_.attempts) return failed("the router doesn't answer");
  exchange_->waitingFor = opcode;
  boost::system::error_code ignored;  // a lost or refused send is what retries are for
  exchange_->socket.send(boost::asio::buffer(request), 0, ignored);
  const auto wait = options_.firstRetry * (1 << std::min(attempt, 16));
  timer_ = clock_->schedule(executor_, wait, [this, request = std::move(request), opcode, attempt] {
    send(request, opcode, attempt + 1);
  });
}

void PortMapper::answered(corvel::ByteView datagram) {
  auto response = NatPmp::parse(datagram);
  if (!response || !exchange_ || exchange_->waitingFor != response->opcode) return;
  exchange_->waitingFor.reset();
  timer_.reset();
  if (response->result != 0) {
    log().info("port mapping refused by the router ({})", response->result);
    return failed("refused");
  }
  if (response->opcode == NatPmp::externalAddressOpcode) {
    if (response->address == "0.0.0.0") return failed("the router has no external address yet");
    address_ = response->address;
    // Ask for the same external port as before (or the host's own) so the published one holds.
    const std::uint16_t suggested = external_ ? external_->port : internalPort_;
    send(NatPmp::mapRequest(NatPmp::mapTCPOpcode, internalPort_, suggested, options_.lifetime),
         NatPmp::mapTCPOpcode, 0);
    return;
  }
  if (response->internalPort != internalPort_) return failed("the router mapped another port");
  mapped(address_, response->externalPort, response->lifetime);
}

void PortMapper::mapped(const std::string& address, std::uint16_t port, std::uint32_t lifetime) {
  if (port == 0 || lifetime == 0) return failed("the router gave no port");
  setExternal(External{address, port});
  // Renewed halfway through the lease; the external address is asked again too, it may change.
  const auto renewIn = std::chrono::milliseconds(std::max<std::uint64_t>(lifetime * 500ULL, 1000));
  timer_ = clock_->schedule(executor_, renewIn, [this] {
    if (!exchange_) return begin();
    send(NatPmp::externalAddressRequest(), NatPmp::externalAddressOpcode, 0);
  });
}

void PortMapper::failed(const char* why) {
  log().debug("port mapping: {}; trying again later", why);
  if (exchange_) {
    boost::system::error_code ignored;
    exchange_->socket.close(ignored);
    exchange_.reset();
  }
  setExternal(std::nullopt);
  timer_ = clock_->schedule(executor_, options_.retryAfterFailure, [this] {
    if (running_) begin();
  });
}

void PortMapper::setExternal(std::optional<External> value) {
  if (external_ == value) return;
  external_ = std::move(value);
  if (external_) {
    log().info("router port mapping: port {} on the external address", external_->port);
  } else {
    log().info("router port mapping unavailable");
  }
  if (onChange_) onChange_(external_);
}

}  // namespace ambrel
