#include "tools/corvel/ClientSession.h"

#include <csignal>
#include <iostream>

#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/cloud/NatPuncher.h"
#include "CorvelKit/net/EndpointText.h"
#include "CorvelKit/net/StunClient.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/SecretBytes.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tools/corvel/OwnerCloud.h"

namespace corvel::tool {

using net::ConnectionState;
using net::CorvelConnection;
using protocol::MessageType;

namespace {
constexpr auto kPingInterval = std::chrono::seconds(5);
// A host id's addresses: one more every quarter second, all given ten seconds.
constexpr auto kRaceStagger = std::chrono::milliseconds(250);
constexpr auto kRaceTimeout = std::chrono::milliseconds(10000);

// The pings that sync() sends carry "sync" and a number; the keep-alive pings carry nothing.
Bytes syncPayload(std::uint64_t id) { return toBytes("sync " + std::to_string(id)); }
std::uint64_t syncID(const Bytes& payload) {
  const auto text = asString(payload);
  if (!text.starts_with("sync ")) return 0;
  std::uint64_t id = 0;
  for (char c : text.substr(5)) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return id;
}
}

ClientSession::ClientSession(const ClientOptions& options)
    : options_(options), loop_(std::make_shared<MainLoop>()) {}

ClientSession::~ClientSession() {
  // No new callback once this object is gone; one already under way finds the loop stopped (or
  // gone) and its work never runs.
  if (race_) race_->cancel();
  if (puncher_) puncher_->stop();
  if (connection_) {
    connection_->cancel();
    connection_->detach();
  }
}

int ClientSession::run() {
  const bool hostID = UUID::parse(options_.target).has_value();
  auto endpoint = net::parseEndpoint(options_.target, protocol::corvelDefaultPort);
  if (!hostID && !endpoint) {
    std::cerr << "corvel: \"" << options_.target << "\" is not HOST or HOST:PORT\n";
    return ExitCode::usage;
  }
  // The handlers only post to the session's loop, which they reach through a weak_ptr: the work
  // they post runs inside run(), while this object is alive.
  std::weak_ptr<MainLoop> loop = loop_;
  CorvelConnection::Handlers handlers;
  handlers.state = [this, loop](const ConnectionState& state) {
    if (auto l = loop.lock()) boost::asio::post(l->executor(), [this, state] { changed(state); });
  };
  handlers.message = [this, loop](MessageType type, Bytes& payload) {
    if (auto l = loop.lock()) {
      auto secret = security::SecretBytes::adopt(std::move(payload));
      boost::asio::post(l->executor(), [this, type, payload = std::move(secret)]() mutable {
        received(type, payload.bytes());
      });
    }
  };
  signals_.async_wait([this](const boost::system::error_code& ec, int) {
    if (!ec) leave();
  });
  if (hostID) {
    if (!startRace(std::move(handlers))) return exitCode_;
  } else {
    connection_ = CorvelConnection::client(
        *endpoint, options_.code, std::move(handlers),
        {.requiredInterface = options_.interfaceName,
         .pinnedFingerprint = options_.pin,
         .quic = options_.quic,
         .quicLocalPort = options_.quicLocalPort});
    std::cout << "connecting to " << endpoint->host << ":" << endpoint->port << std::endl;
    connection_->start();
  }
  loop_->run();
  if (race_) race_->cancel();
  if (puncher_) puncher_->stop();
  if (connection_) {
    connection_->cancel();
    connection_->detach();
  }
  return exitCode_;
}

bool ClientSession::startRace(CorvelConnection::Handlers handlers) {
  auto cloud = std::make_shared<cloud::CorvelCloud>(OwnerCloud::open(options_.database));
  auto failure = OwnerCloud::loadKey(options_.secretFile, *cloud);
  auto found = failure ? std::variant<cloud::CloudMac, OwnerCloud::Failure>(*failure)
                       : OwnerCloud::find(*cloud, options_.target);
  if (auto* failed = std::get_if<OwnerCloud::Failure>(&found)) {
    std::cerr << "corvel: " << failed->message << "\n";
    exitCode_ = failed->exitCode;
    return false;
  }
  const auto& mac = std::get<cloud::CloudMac>(found);
  const auto name = unicode::escapeControls(mac.name);
  const std::string code = options_.code.empty() ? mac.accessCode.value_or("") : options_.code;
  if (code.empty()) {
    std::cerr << "corvel: the record of " << name
              << " carries no access code: give --code, or the owner secret (--secret-file)\n";
    exitCode_ = ExitCode::usage;
    return false;
  }
  // Every address the host published: the local ones first, then those from outside.
  std::vector<net::ConnectCandidate> candidates;
  for (const auto& address : mac.lanAddresses) {
    candidates.push_back({{address, protocol::corvelDefaultPort}, options_.interfaceName, {}});
  }
  for (const auto& text : mac.internetEndpoints()) {
    if (auto endpoint = net::parseEndpoint(text, protocol::corvelDefaultPort)) candidates.push_back({*endpoint, options_.interfaceName, {}});
  }
  std::cout << "connecting to " << name << " (" << candidates.size() << " addresses)" << std::endl;
  // Through the host's router: once this side's public address is known and left for the host,
  // the punched path joins the race, which then waits long enough for the host to punch.
  auto timeout = kRaceTimeout;
  if (options_.holePunch && mac.natHost && mac.natPort && *mac.natPort > 0 && *mac.natPort <= 65535) {
    cloud::NatPuncher::Options stun;
    if (auto server = net::parseEndpoint(options_.stunServer.empty() ? net::StunClient::defaultServer
                                                                     : options_.stunServer,
                                         net::StunClient::defaultServerPort)) {
      stun.stunHost = server->host;
      stun.stunPort = server->port;
    }
    puncher_ = cloud::NatPuncher::begin(
        loop_->executor(), cloud, mac.id,
        {*mac.natHost, static_cast<std::uint16_t>(*mac.natPort)}, std::move(stun));
    timeout = std::max(timeout, net::Connector::holePunchWait + kRaceTimeout / 2);
    std::cout << "hole punching through " << *mac.natHost << ":" << *mac.natPort << std::endl;
  } else if (options_.holePunch) {
    std::cout << "the host offers no hole-punched path" << std::endl;
  }
  std::weak_ptr<MainLoop> loop = loop_;
  race_ = net::Connector::race(
      loop_->executor(), Clock::system(),
      [candidates, puncher = puncher_] {
        auto now = candidates;
        if (puncher) {
          if (auto punched = puncher->readyCandidate()) now.push_back(*punched);
        }
        return now;
      },
      net::Connector::connections(code, options_.pin ? options_.pin : mac.identity, std::move(handlers)),
      kRaceStagger, timeout,
      [this, loop](net::ConnectOutcome outcome) {
        if (auto l = loop.lock()) {
          boost::asio::post(l->executor(), [this, outcome = std::move(outcome)]() mutable {
            raced(std::move(outcome));
          });
        }
      },
      // While the punched path is being prepared, the addresses failing first does not end the race.
      [puncher = puncher_] { return puncher && puncher->isPending(); });
  return true;
}

void ClientSession::raced(net::ConnectOutcome outcome) {
  using Kind = net::ConnectOutcome::Kind;
  switch (outcome.kind) {
    case Kind::ready:
      connection_ = std::move(outcome.connection);
      std::cout << "reached " << outcome.winner.substr(0, outcome.winner.find('|'))
                << (outcome.winner.ends_with("|quic") ? " through a punched hole" : "") << std::endl;
      changed(ConnectionState{ConnectionState::Kind::ready, {}, false});
      break;
    case Kind::wrongCode:
      std::cout << "wrong access code" << std::endl;
      finish(ExitCode::wrongCode);
      break;
    case Kind::insecure: {
      const auto& security = *outcome.securityFailure;
      if (security.errc() == secure::SecureChannelErrc::identityChanged) {
        std::cout << "identity changed: expected " << security.expected().value_or("?")
                  << ", got " << security.got().value_or("?") << std::endl;
        finish(ExitCode::identityChanged);
      } else {
        std::cout << "wrong access code (" << security.what() << ")" << std::endl;
        finish(ExitCode::wrongCode);
      }
      break;
    }
    case Kind::failed:
      std::cout << "connection failed: " << outcome.reason << std::endl;
      finish(ExitCode::networkFailure);
      break;
  }
}

void ClientSession::leave() {
  if (!connection_ || !connection_->isSecure()) return finish(ExitCode::ok);
  connection_->sendJSON(MessageType::bye, protocol::Bye{"Ended on " + options_.deviceName},
                        [this, loop = std::weak_ptr<MainLoop>(loop_)](std::error_code) {
                          if (auto l = loop.lock()) {
                            boost::asio::post(l->executor(), [this] { finish(ExitCode::ok); });
                          }
                        });
}

void ClientSession::finish(int exitCode) {
  exitCode_ = exitCode;
  pings_.cancel();
  deadline_.cancel();
  inputTimer_.cancel();
  signals_.cancel();
  if (connection_) connection_->cancel();
  loop_->stop();
}

void ClientSession::changed(const ConnectionState& state) {
  switch (state.kind) {
    case ConnectionState::Kind::ready: {
      wasReady_ = true;
      std::cout << "ready" << "\n"
                << "host identity: " << connection_->peerFingerprint().value_or("?") << std::endl;
      protocol::Hello hello;
      hello.deviceName = options_.deviceName;
      hello.platform = protocol::ClientPlatform::unknown;
      hello.protocolVersion = static_cast<int>(protocol::corvelProtocolVersion);
      hello.deviceID = options_.deviceID;
      hello.iCloudToken = options_.ownerToken;
      if (onHello) onHello(hello);
      connection_->sendJSON(MessageType::hello, hello);
      schedulePing();
      if (options_.seconds) {
        deadline_.expires_after(std::chrono::seconds(*options_.seconds));
        deadline_.async_wait([this](const boost::system::error_code& ec) {
          if (!ec) finish(ExitCode::ok);
        });
      }
      if (onReady) onReady();
      break;
    }
    case ConnectionState::Kind::failed: {
      auto security = connection_->securityFailure();
      if (security && security->errc() == secure::SecureChannelErrc::identityChanged) {
        std::cout << "identity changed: expected " << security->expected().value_or("?")
                  << ", got " << security->got().value_or("?") << std::endl;
        finish(ExitCode::identityChanged);
      } else if (state.tlsFailure || security) {
        std::cout << "wrong access code"
                  << (security ? std::string(" (") + security->what() + ")" : "") << std::endl;
        finish(ExitCode::wrongCode);
      } else {
        std::cout << "connection failed: " << state.error.message() << std::endl;
        finish(wasReady_ ? ExitCode::ok : ExitCode::networkFailure);
      }
      break;
    }
    case ConnectionState::Kind::cancelled:
      std::cout << "connection closed" << std::endl;
      finish(wasReady_ ? ExitCode::ok : ExitCode::networkFailure);
      break;
    default:
      break;
  }
}

void ClientSession::received(MessageType type, const Bytes& payload) {
  if (type == MessageType::pong) {
    if (auto it = syncs_.find(syncID(payload)); it != syncs_.end()) {
      auto done = std::move(it->second);
      syncs_.erase(it);
      done();
    }
    return;
  }
  if (onMessage) onMessage(type, payload);
  // Scripted input runs once the host admits this client (its permissions arrive).
  if (type == MessageType::permissions && options_.input && !inputStarted_) {
    inputStarted_ = true;
    runInput();
  }
  if (type == MessageType::bye) finish(ExitCode::ok);
}

void ClientSession::sync(std::function<void()> done) {
  const auto id = ++nextSync_;
  syncs_[id] = std::move(done);
  connection_->send(MessageType::ping, syncPayload(id));
}

void ClientSession::schedulePing() {
  pings_.expires_after(kPingInterval);
  pings_.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    connection_->send(MessageType::ping, {});
    schedulePing();
  });
}

void ClientSession::runInput() {
  const auto& steps = options_.input->steps;
  while (nextStep_ < steps.size()) {
    const auto& step = steps[nextStep_++];
    if (const auto* wait = std::get_if<std::chrono::milliseconds>(&step)) {
      inputTimer_.expires_after(*wait);
      inputTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) runInput();
      });
      return;
    }
    connection_->sendJSON(MessageType::input, std::get<protocol::InputEvent>(step));
  }
  std::cout << "input sent" << std::endl;
}

}  // namespace corvel::tool
