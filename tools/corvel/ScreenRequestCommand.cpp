#include "tools/corvel/ScreenRequestCommand.h"

#include <fstream>
#include <iostream>

#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/ScreenText.h"
#include "tools/corvel/ClientSession.h"

namespace corvel::tool {

using protocol::MessageType;

namespace {

constexpr auto kRepeat = std::chrono::seconds(2);
constexpr int kDefaultSeconds = 30;

// Sends `request` until `answer` arrives and `handle` takes it.
int ask(ClientOptions options, MessageType request, MessageType answer,
        const std::function<bool(const Bytes&)>& handle) {
  const bool timed = options.seconds.has_value();
  if (!timed) options.seconds = kDefaultSeconds;
  ClientSession session(options);
  boost::asio::steady_timer repeat(session.executor());
  bool answered = false;
  std::function<void()> send = [&] {
    session.connection().send(request, {});
    repeat.expires_after(kRepeat);
    repeat.async_wait([&](const boost::system::error_code& ec) {
      if (!ec && !answered) send();
    });
  };
  session.onMessage = [&](MessageType type, const Bytes& payload) {
    if (type == MessageType::permissions && !answered) {
      send();
    } else if (type == answer && !answered && handle(payload)) {
      answered = true;
      repeat.cancel();
      session.leave();
    }
  };
  const int status = session.run();
  if (status != ExitCode::ok) return status;
  if (!answered) {
    std::cout << "no answer from the host" << std::endl;
    return ExitCode::failed;
  }
  return ExitCode::ok;
}

}  // namespace

int ScreenRequestCommand::text(const ClientOptions& options) {
  return ask(options, MessageType::screenTextRequest, MessageType::screenText, [](const Bytes& payload) {
    auto text = JSONCoding::decode<protocol::ScreenText>(payload);
    if (!text) return false;
    if (text->frontmostApp) std::cout << "frontmost: " << *text->frontmostApp << "\n";
    for (const auto& line : text->lines) std::cout << "line: " << line << "\n";
    std::cout << text->lines.size() << " lines" << std::endl;
    return true;
  });
}

int ScreenRequestCommand::screenshot(const ClientOptions& options) {
  const auto file = options.operands.front();
  return ask(options, MessageType::screenshotRequest, MessageType::screenshot, [&](const Bytes& payload) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    std::cout << "screenshot " << payload.size() << " bytes" << std::endl;
    return true;
  });
}

}  // namespace corvel::tool
