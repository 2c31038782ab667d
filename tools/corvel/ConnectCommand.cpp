#include "tools/corvel/ConnectCommand.h"

#include <csignal>
#include <iostream>
#include <optional>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace corvel::tool {

namespace {

using net::ConnectionState;
using net::CorvelConnection;
using protocol::MessageType;

// Payloads that are JSON text and can be shown as they are.
bool isJSON(MessageType t) {
  switch (t) {
    case MessageType::helloAck:
    case MessageType::clipboard:
    case MessageType::bye:
    case MessageType::audioFormat:
    case MessageType::fileOffer:
    case MessageType::fileEnd:
    case MessageType::chat:
    case MessageType::permissions:
    case MessageType::hostStatus:
    case MessageType::screenText:
    case MessageType::displays:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<Endpoint> parseEndpoint(std::string_view text) {
  net::Endpoint e;
  e.port = protocol::corvelDefaultPort;
  std::string_view host = text;
  // [v6]:port, v4:port or name:port; a bare IPv6 address has several colons and no port.
  if (text.starts_with('[')) {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    auto rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::nullopt;
      text = rest.substr(1);
    } else {
      text = {};
    }
  } else if (auto colon = text.rfind(':');
             colon != std::string_view::npos && text.find(':') == colon) {
    host = text.substr(0, colon);
    text = text.substr(colon + 1);
  } else {
    text = {};
  }
  if (!text.empty()) {
    int port = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + (c - '0');
      if (port > 65535) return std::nullopt;
    }
    if (port == 0) return std::nullopt;
    e.port = static_cast<std::uint16_t>(port);
  }
  if (host.empty()) return std::nullopt;
  e.host = std::string(host);
  return e;
}

int ConnectCommand::run(const ConnectOptions& options) {
  auto endpoint = parseEndpoint(options.target);
  if (!endpoint) {
    std::cerr << "corvel: \"" << options.target << "\" is not HOST or HOST:PORT\n";
    return ExitCode::usage;
  }

  MainLoop loop;
  int exitCode = ExitCode::networkFailure;
  bool wasReady = false;
  auto connection = CorvelConnection::client(*endpoint, options.code, options.interfaceName);
  if (options.pin) connection->expectedPeerFingerprint = *options.pin;

  boost::asio::steady_timer pings(loop.executor());
  boost::asio::steady_timer deadline(loop.executor());
  boost::asio::steady_timer inputTimer(loop.executor());
  auto finish = [&](int code) {
    exitCode = code;
    pings.cancel();
    deadline.cancel();
    inputTimer.cancel();
    connection->cancel();
    loop.stop();
  };
  std::function<void()> schedulePing = [&] {
    pings.expires_after(std::chrono::seconds(5));
    pings.async_wait([&](const boost::system::error_code& ec) {
      if (ec) return;
      connection->send(MessageType::ping, {});
      schedulePing();
    });
  };

  // Scripted input runs once the host admits this client (its permissions arrive).
  std::size_t nextStep = 0;
  bool inputStarted = false;
  std::function<void()> runInput = [&] {
    const auto& steps = options.input->steps;
    while (nextStep < steps.size()) {
      const auto& step = steps[nextStep++];
      if (auto* wait = std::get_if<std::chrono::milliseconds>(&step)) {
        inputTimer.expires_after(*wait);
        inputTimer.async_wait([&](const boost::system::error_code& ec) {
          if (!ec) runInput();
        });
        return;
      }
      connection->sendJSON(MessageType::input, std::get<protocol::InputEvent>(step));
    }
    std::cout << "input sent" << std::endl;
  };

  connection->onStateChange = [&](const ConnectionState& state) {
    boost::asio::post(loop.executor(), [&, state] {
      switch (state.kind) {
        case ConnectionState::Kind::ready: {
          wasReady = true;
          std::cout << "ready" << "\n"
                    << "host identity: " << connection->peerFingerprint().value_or("?") << std::endl;
          protocol::Hello hello;
          hello.deviceName = options.deviceName;
          hello.platform = protocol::ClientPlatform::unknown;
          hello.protocolVersion = static_cast<int>(protocol::corvelProtocolVersion);
          hello.deviceID = options.deviceID;
          hello.iCloudToken = options.ownerToken;
          connection->sendJSON(MessageType::hello, hello);
          schedulePing();
          if (options.seconds) {
            deadline.expires_after(std::chrono::seconds(*options.seconds));
            deadline.async_wait([&](const boost::system::error_code& ec) {
              if (!ec) finish(ExitCode::ok);
            });
          }
          break;
        }
        case ConnectionState::Kind::failed: {
          auto security = connection->securityFailure();
          if (security && security->errc() == secure::SecureChannelErrc::identityChanged) {
            std::cout << "identity changed: expected " << security->expected().value_or("?")
                      << ", got " << security->got().value_or("?") << std::endl;
            finish(ExitCode::identityChanged);
          } else if (state.tlsFailure || security) {
            std::cout << "wrong access code" << (security ? std::string(" (") + security->what() + ")" : "")
                      << std::endl;
            finish(ExitCode::wrongCode);
          } else {
            std::cout << "connection failed: " << state.error.message() << std::endl;
            finish(wasReady ? ExitCode::ok : ExitCode::networkFailure);
          }
          break;
        }
        case ConnectionState::Kind::cancelled:
          std::cout << "connection closed" << std::endl;
          finish(wasReady ? ExitCode::ok : ExitCode::networkFailure);
          break;
        default:
          break;
      }
    });
  };
  connection->onMessage = [&](MessageType type, Bytes payload) {
    boost::asio::post(loop.executor(), [&, type, payload = std::move(payload)] {
      if (type == MessageType::pong) return;
      if (isJSON(type)) {
        std::cout << protocol::name(type) << " " << asString(payload) << std::endl;
      } else {
        std::cout << protocol::name(type) << " (" << payload.size() << " bytes)" << std::endl;
      }
      if (type == MessageType::permissions && options.input && !inputStarted) {
        inputStarted = true;
        runInput();
      }
      if (type == MessageType::bye) {
        finish(ExitCode::ok);
      }
    });
  };

  boost::asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    if (connection->isSecure()) {
      protocol::Bye bye{"Ended on " + options.deviceName};
      connection->sendJSON(MessageType::bye, bye, [&](std::error_code) {
        boost::asio::post(loop.executor(), [&] { finish(ExitCode::ok); });
      });
    } else {
      finish(ExitCode::ok);
    }
  });

  std::cout << "connecting to " << endpoint->host << ":" << endpoint->port << std::endl;
  connection->start();
  loop.run();
  // The callbacks point into this frame: make sure none runs once it is gone.
  connection->cancel();
  connection->detach();
  return exitCode;
}

}  // namespace corvel::tool
