#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/corvel/ClientOptions.h"
#include "tools/corvel/ConnectCommand.h"
#include "tools/corvel/ViewCommand.h"

namespace {

constexpr std::string_view kUsage =
    "usage: corvel connect HOST[:PORT] --code CODE [OPTIONS]\n"
    "       corvel view HOST[:PORT] --code CODE [OPTIONS] [--headless] [--frames N]\n"
    "                   [--record FILE]\n"
    "OPTIONS: [--pin FINGERPRINT] [--name NAME] [--device-id ID] [--token OWNER_TOKEN]\n"
    "         [--interface IFACE] [--seconds N] [--input SCRIPT]\n"
    "\n"
    "connect: connects to an Ambrel host, prints its identity fingerprint and what it sends.\n"
    "view: shows the host's screen in a window that takes pointer and keyboard input (or, with\n"
    "      --headless, only decodes), prints frames per second, bit rate and keyframes, and\n"
    "      records the stream to FILE (a QuickTime movie) if asked.\n"
    "SCRIPT: steps separated by \";\": move X Y (fractions 0-1), click|down|up [left|right|middle],\n"
    "        key CODE [FLAGS], type TEXT, scroll DX DY, wait MS; sent once the host admits us.\n"
    "Exit status: 0 ended normally, 2 wrong access code, 3 identity changed,\n"
    "4 network failure, 64 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  using corvel::tool::CommandLine;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::cout << kUsage;
    return args.empty() ? corvel::tool::ExitCode::usage : 0;
  }
  auto parsed = CommandLine::parse(args);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    std::cerr << "corvel: " << *problem << "\n" << kUsage;
    return corvel::tool::ExitCode::usage;
  }
  const auto& line = std::get<CommandLine>(parsed);
  if (line.command == CommandLine::Command::view) return corvel::tool::ViewCommand::run(line.options);
  return corvel::tool::ConnectCommand::run(line.options);
}
