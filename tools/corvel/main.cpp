#include <charconv>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/corvel/ConnectCommand.h"
#include "tools/corvel/ViewCommand.h"

namespace {

constexpr std::string_view kUsage =
    "usage: corvel connect HOST[:PORT] --code CODE [--pin FINGERPRINT] [--name NAME]\n"
    "                      [--device-id ID] [--token OWNER_TOKEN] [--interface IFACE]\n"
    "                      [--seconds N] [--input SCRIPT]\n"
    "       corvel view HOST[:PORT] --code CODE --headless [--frames N] [--seconds N]\n"
    "                   [--record FILE]\n"
    "\n"
    "connect: connects to an Ambrel host, prints its identity fingerprint and what it sends.\n"
    "view: decodes the host's video without a window, prints frames per second and bit rate,\n"
    "      and records the stream to FILE (a QuickTime movie) if asked.\n"
    "SCRIPT: steps separated by \";\": move X Y (fractions 0-1), click|down|up [left|right|middle],\n"
    "        key CODE [FLAGS], type TEXT, scroll DX DY, wait MS; sent once the host admits us.\n"
    "Exit status: 0 ended normally, 2 wrong access code, 3 identity changed,\n"
    "4 network failure, 64 bad usage.\n";

int usage(std::string_view problem) {
  std::cerr << "corvel: " << problem << "\n" << kUsage;
  return corvel::tool::ExitCode::usage;
}

std::optional<int> count(std::string_view text) {
  int n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc{} || end != text.data() + text.size() || n < 0) return std::nullopt;
  return n;
}

int view(const std::vector<std::string_view>& args) {
  corvel::tool::ViewOptions options;
  bool haveCode = false;
  bool headless = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    auto a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string(args[++i]);
    };
    std::optional<std::string> v;
    if (a == "--code" && (v = value())) {
      options.code = *v;
      haveCode = true;
    } else if (a == "--headless") {
      headless = true;
    } else if (a == "--frames" && (v = value())) {
      options.frames = count(*v);
      if (!options.frames || *options.frames == 0) return usage("--frames takes a positive number");
    } else if (a == "--seconds" && (v = value())) {
      options.seconds = count(*v);
      if (!options.seconds) return usage("--seconds takes a number");
    } else if (a == "--record" && (v = value())) {
      options.record = *v;
    } else if (a == "--name" && (v = value())) {
      options.deviceName = *v;
    } else if (!a.starts_with("-") && options.target.empty()) {
      options.target = std::string(a);
    } else {
      return usage("unexpected \"" + std::string(a) + "\"");
    }
  }
  if (options.target.empty()) return usage("view needs HOST[:PORT]");
  if (!haveCode) return usage("view needs --code");
  if (!headless) return usage("view has no window: pass --headless");
  return corvel::tool::ViewCommand::run(options);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::cout << kUsage;
    return args.empty() ? corvel::tool::ExitCode::usage : 0;
  }
  if (args[0] == "view") return view(args);
  if (args[0] != "connect") return usage("unknown command \"" + std::string(args[0]) + "\"");

  corvel::tool::ConnectOptions options;
  bool haveCode = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    auto a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string(args[++i]);
    };
    std::optional<std::string> v;
    if (a == "--code" && (v = value())) {
      options.code = *v;
      haveCode = true;
    } else if (a == "--pin" && (v = value())) {
      options.pin = *v;
    } else if (a == "--name" && (v = value())) {
      options.deviceName = *v;
    } else if (a == "--device-id" && (v = value())) {
      options.deviceID = *v;
    } else if (a == "--token" && (v = value())) {
      options.ownerToken = *v;
    } else if (a == "--interface" && (v = value())) {
      options.interfaceName = *v;
    } else if (a == "--seconds" && (v = value())) {
      int n = 0;
      auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
      if (ec != std::errc{} || end != v->data() + v->size() || n < 0) return usage("--seconds takes a number");
      options.seconds = n;
    } else if (a == "--input" && (v = value())) {
      auto parsed = corvel::tool::InputScript::parse(*v);
      if (auto* error = std::get_if<std::string>(&parsed)) return usage(*error);
      options.input = std::get<corvel::tool::InputScript>(std::move(parsed));
    } else if (!a.starts_with("-") && options.target.empty()) {
      options.target = std::string(a);
    } else {
      return usage("unexpected \"" + std::string(a) + "\"");
    }
  }
  if (options.target.empty()) return usage("connect needs HOST[:PORT]");
  if (!haveCode) return usage("connect needs --code");
  return corvel::tool::ConnectCommand::run(options);
}
