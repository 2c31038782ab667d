#include "tools/corvel/ViewCommand.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/SessionRecorder.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "tools/corvel/ConnectCommand.h"

namespace corvel::tool {

using net::ConnectionState;
using net::CorvelConnection;
using protocol::MessageType;
using Clock = std::chrono::steady_clock;

int ViewCommand::run(const ViewOptions& options) {
  auto endpoint = parseEndpoint(options.target);
  if (!endpoint) {
    std::cerr << "corvel: \"" << options.target << "\" is not HOST or HOST:PORT\n";
    return ExitCode::usage;
  }
  std::unique_ptr<media::SessionRecorder> recorder;
  if (options.record) {
    try {
      recorder = std::make_unique<media::SessionRecorder>(*options.record);
    } catch (const std::system_error& e) {
      std::cerr << "corvel: can't record to " << *options.record << ": " << e.what() << "\n";
      return ExitCode::usage;
    }
  }

  MainLoop loop;
  int exitCode = ExitCode::networkFailure;
  bool wasReady = false;
  auto connection = CorvelConnection::client(*endpoint, options.code, std::nullopt);

  // Everything below runs on the loop's thread.
  media::VideoReceiver receiver;
  long totalFrames = 0;
  long totalBytes = 0;
  long secondFrames = 0;
  long secondBytes = 0;
  Clock::time_point firstVideo{};
  boost::asio::steady_timer ticker(loop.executor());
  boost::asio::steady_timer deadline(loop.executor());

  auto finish = [&](int code) {
    exitCode = code;
    ticker.cancel();
    deadline.cancel();
    connection->cancel();
    loop.stop();
  };
  receiver.onSizeChange = [](int width, int height) {
    std::cout << "size " << width << "x" << height << std::endl;
  };
  receiver.onNeedKeyframe = [&] { connection->send(MessageType::keyframeRequest, {}); };
  if (recorder) {
    receiver.onSample = [&](const media::VideoSample& sample) { recorder->append(sample); };
  }
  receiver.onPicture = [&](const media::DecodedPicture&) {
    ++totalFrames;
    ++secondFrames;
    if (options.frames && totalFrames >= *options.frames) finish(ExitCode::ok);
  };

  std::function<void()> tick = [&] {
    ticker.expires_after(std::chrono::seconds(1));
    ticker.async_wait([&](const boost::system::error_code& ec) {
      if (ec) return;
      std::cout << secondFrames << " frames/s, " << secondBytes * 8 / 1000 << " kbit/s"
                << std::endl;
      secondFrames = 0;
      secondBytes = 0;
      connection->send(MessageType::ping, {});
      tick();
    });
  };

  connection->onStateChange = [&](const ConnectionState& state) {
    boost::asio::post(loop.executor(), [&, state] {
      switch (state.kind) {
        case ConnectionState::Kind::ready: {
          wasReady = true;
          std::cout << "ready" << std::endl;
          protocol::Hello hello;
          hello.deviceName = options.deviceName;
          hello.platform = protocol::ClientPlatform::unknown;
          hello.protocolVersion = static_cast<int>(protocol::corvelProtocolVersion);
          hello.supportsHEVC = true;
          connection->sendJSON(MessageType::hello, hello);
          tick();
          if (options.seconds) {
            deadline.expires_after(std::chrono::seconds(*options.seconds));
            deadline.async_wait([&](const boost::system::error_code& ec) {
              if (!ec) finish(ExitCode::ok);
            });
          }
          break;
        }
        case ConnectionState::Kind::failed:
          if (state.tlsFailure || connection->securityFailure()) {
            std::cout << "wrong access code" << std::endl;
            finish(ExitCode::wrongCode);
          } else {
            std::cout << "connection failed: " << state.error.message() << std::endl;
            finish(wasReady ? ExitCode::ok : ExitCode::networkFailure);
          }
          break;
        case ConnectionState::Kind::cancelled:
          finish(wasReady ? ExitCode::ok : ExitCode::networkFailure);
          break;
        default:
          break;
      }
    });
  };
  connection->onMessage = [&](MessageType type, Bytes payload) {
    boost::asio::post(loop.executor(), [&, type, payload = std::move(payload)] {
      if (type == MessageType::video) {
        if (totalBytes == 0) firstVideo = Clock::now();
        totalBytes += static_cast<long>(payload.size());
        secondBytes += static_cast<long>(payload.size());
        receiver.receive(payload);
      } else if (type == MessageType::bye) {
        std::cout << "bye " << asString(payload) << std::endl;
        finish(ExitCode::ok);
      }
    });
  };

  boost::asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (!ec) finish(ExitCode::ok);
  });

  std::cout << "connecting to " << endpoint->host << ":" << endpoint->port << std::endl;
  connection->start();
  loop.run();
  connection->cancel();
  connection->detach();
  receiver.stop();

  if (totalBytes > 0) {
    const double seconds =
        std::max(std::chrono::duration<double>(Clock::now() - firstVideo).count(), 0.001);
    std::printf("%ld frames in %.1f s: %.1f frames/s, %.0f kbit/s\n", totalFrames, seconds,
                static_cast<double>(totalFrames) / seconds,
                static_cast<double>(totalBytes) * 8.0 / seconds / 1000.0);
  }
  if (recorder) {
    if (auto path = recorder->finish()) {
      std::cout << "recorded " << path->string() << std::endl;
    } else {
      std::cout << "nothing recorded" << std::endl;
    }
  }
  return exitCode;
}

}  // namespace corvel::tool
