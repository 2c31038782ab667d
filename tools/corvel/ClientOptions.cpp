#include "tools/corvel/ClientOptions.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "CorvelKit/base/UUID.h"
#include "CorvelKit/net/EndpointText.h"
#include "CorvelKit/net/StunClient.h"
#include "CorvelKit/protocol/ProtocolConstants.h"

namespace corvel::tool {

namespace {

std::optional<int> count(std::string_view text) {
  int n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc{} || end != text.data() + text.size() || n < 0) return std::nullopt;
  return n;
}

}  // namespace

std::variant<CommandLine, std::string> CommandLine::parse(const std::vector<std::string_view>& args) {
  if (args.empty()) return std::string("no command");
  CommandLine line;
  const std::pair<std::string_view, Command> commands[] = {
      {"connect", Command::connect}, {"view", Command::view},       {"send", Command::send},
      {"receive", Command::receive}, {"chat", Command::chat},       {"clipboard", Command::clipboard},
      {"text", Command::text},       {"screenshot", Command::screenshot}};
  const auto known = std::find_if(std::begin(commands), std::end(commands),
                                  [&](const auto& c) { return c.first == args[0]; });
  if (known == std::end(commands)) return "unknown command \"" + std::string(args[0]) + "\"";
  line.command = known->second;
  if (line.command == Command::view) line.options.deviceName = "corvel view";
  const bool view = line.command == Command::view;
  const bool takesOperands = line.command == Command::send || line.command == Command::chat ||
                             line.command == Command::clipboard || line.command == Command::screenshot;
  auto& o = line.options;
  bool haveCode = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const auto a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string(args[++i]);
    };
    std::optional<std::string> v;
    if (a == "--code" && (v = value())) {
      o.code = *v;
      haveCode = true;
    } else if (a == "--pin" && (v = value())) {
      o.pin = *v;
    } else if (a == "--name" && (v = value())) {
      o.deviceName = *v;
    } else if (a == "--device-id" && (v = value())) {
      o.deviceID = *v;
    } else if (a == "--token" && (v = value())) {
      o.ownerToken = *v;
    } else if (a == "--database" && (v = value())) {
      o.database = *v;
    } else if (a == "--secret-file" && (v = value())) {
      o.secretFile = *v;
    } else if (a == "--interface" && (v = value())) {
      o.interfaceName = *v;
    } else if (a == "--quic") {
      o.quic = true;
    } else if (a == "--quic-port" && (v = value())) {
      auto port = count(*v);
      if (!port || *port > 65535) return std::string("--quic-port takes a port number");
      o.quic = true;
      o.quicLocalPort = static_cast<std::uint16_t>(*port);
    } else if (a == "--hole-punch") {
      o.holePunch = true;
    } else if (a == "--stun" && (v = value())) {
      if (!net::parseEndpoint(*v, net::StunClient::defaultServerPort)) {
        return std::string("--stun takes HOST or HOST:PORT");
      }
      o.holePunch = true;
      o.stunServer = *v;
    } else if (a == "--seconds" && (v = value())) {
      o.seconds = count(*v);
      if (!o.seconds) return std::string("--seconds takes a number");
    } else if (a == "--input" && (v = value())) {
      auto parsed = InputScript::parse(*v);
      if (auto* error = std::get_if<std::string>(&parsed)) return *error;
      o.input = std::get<InputScript>(std::move(parsed));
    } else if (view && a == "--headless") {
      o.headless = true;
    } else if (view && a == "--frames" && (v = value())) {
      o.frames = count(*v);
      if (!o.frames || *o.frames == 0) return std::string("--frames takes a positive number");
    } else if (view && a == "--record" && (v = value())) {
      o.record = *v;
    } else if (view && a == "--sound-file" && (v = value())) {
      o.soundFile = *v;
    } else if (line.command == Command::receive && a == "--into" && (v = value())) {
      o.into = *v;
    } else if (line.command == Command::receive && a == "--files" && (v = value())) {
      o.files = count(*v);
      if (!o.files || *o.files == 0) return std::string("--files takes a positive number");
    } else if (line.command == Command::clipboard && a == "--into" && (v = value())) {
      o.into = *v;
    } else if (line.command == Command::clipboard && a == "--text-file" && (v = value())) {
      o.textFile = *v;
    } else if (!a.starts_with("-") && o.target.empty()) {
      o.target = std::string(a);
    } else if ((!a.starts_with("-") || a == "-") && takesOperands) {
      o.operands.emplace_back(a);
    } else {
      return "unexpected \"" + std::string(a) + "\"";
    }
  }
  const std::string name(args[0]);
  if (o.target.empty()) return name + " needs HOST[:PORT]";
  if (!haveCode && !UUID::parse(o.target)) return name + " needs --code";
  switch (line.command) {
    case Command::send:
      if (o.operands.empty()) return std::string("send needs at least one FILE");
      break;
    case Command::screenshot:
      if (o.operands.size() != 1) return std::string("screenshot needs one FILE");
      break;
    case Command::clipboard:
      if (o.textFile && !o.operands.empty()) return std::string("clipboard takes TEXT or --text-file, not both");
      [[fallthrough]];
    case Command::chat:
      if (o.operands.size() > 1) return name + " takes its TEXT as one argument";
      break;
    default:
      break;
  }
  return line;
}

}  // namespace corvel::tool
