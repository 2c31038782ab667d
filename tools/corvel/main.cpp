#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/corvel/ClientOptions.h"
#include "tools/corvel/ChatCommand.h"
#include "tools/corvel/ClipboardCommand.h"
#include "tools/corvel/CloudToolCommand.h"
#include "tools/corvel/TeamCommand.h"
#include "tools/corvel/ConnectCommand.h"
#include "tools/corvel/ReceiveCommand.h"
#include "tools/corvel/ScreenRequestCommand.h"
#include "tools/corvel/SendCommand.h"
#include "tools/corvel/ViewCommand.h"

namespace {

constexpr std::string_view kUsage =
    "usage: corvel connect HOST[:PORT] --code CODE [OPTIONS]\n"
    "       corvel view HOST[:PORT] --code CODE [OPTIONS] [--headless] [--frames N]\n"
    "                   [--record FILE] [--sound-file WAV]\n"
    "       corvel send HOST[:PORT] --code CODE [OPTIONS] FILE...\n"
    "       corvel receive HOST[:PORT] --code CODE [OPTIONS] [--into FOLDER] [--files N]\n"
    "       corvel chat HOST[:PORT] --code CODE [OPTIONS] [TEXT]\n"
    "       corvel clipboard HOST[:PORT] --code CODE [OPTIONS] [TEXT | --text-file FILE]\n"
    "                        [--into FILE]\n"
    "       corvel text HOST[:PORT] --code CODE [OPTIONS]\n"
    "       corvel screenshot HOST[:PORT] --code CODE [OPTIONS] FILE\n"
    "       corvel macs [CLOUD OPTIONS]\n"
    "       corvel command HOST ACTION [CLOUD OPTIONS] [--name SENDER]\n"
    "       corvel team create NAME | list [TEAM] | invite TEAM [ROLE] | join TOKEN |\n"
    "                   role TEAM IDENTITY ROLE | remove TEAM IDENTITY |\n"
    "                   share TEAM MAC-ID NAME [IDENTITY...] | connect TEAM MAC-ID |\n"
    "                   audit TEAM [--clear]   [--database FILE | URL] [--name NAME]\n"
    "OPTIONS: [--pin FINGERPRINT] [--name NAME] [--device-id ID] [--token OWNER_TOKEN]\n"
    "         [--interface IFACE] [--quic | --quic-port LOCAL_UDP_PORT] [--seconds N]\n"
    "         [--input SCRIPT] [--hole-punch] [--stun HOST[:PORT]] [CLOUD OPTIONS]\n"
    "CLOUD OPTIONS: [--database FILE | URL] [--secret-file FILE | -]\n"
    "\n"
    "HOST may be a host id that macs lists: every address in its record is tried, one more each\n"
    "quarter second, and the first to answer is used; with the owner secret, --code and --pin\n"
    "come from the record when not given. --hole-punch (or --stun, naming the STUN server) also\n"
    "tries a path through a hole punched in the host's router, when the host offers one.\n"
    "connect: connects to an Ambrel host, prints its identity fingerprint and what it sends.\n"
    "view: shows the host's screen in a window that takes pointer and keyboard input (or, with\n"
    "      --headless, only decodes), prints frames per second, bit rate and keyframes, and\n"
    "      records the stream to FILE (a QuickTime movie) if asked. The host's sound plays (with\n"
    "      --headless it is only decoded) and goes to WAV (32-bit float) if asked.\n"
    "send: sends the files to the host, one after the other. receive: saves the files the host\n"
    "      sends into FOLDER (the current one). chat: sends TEXT and prints the host's messages.\n"
    "clipboard: puts TEXT on the host's clipboard, or prints (or writes) the host's next one.\n"
    "text: prints the text on the host's screen. screenshot: writes the screen as a JPEG.\n"
    "macs: lists the hosts in the owner's cloud database (this computer's own file, or the\n"
    "      SQLite FILE or PostgreSQL URL given): name, id, last seen, addresses; with the owner\n"
    "      secret (first line of FILE, - for standard input) also their access codes and\n"
    "      identities. command: queues ACTION (playSound, lockScreen, sleepDisplay,\n"
    "      disconnectAll, newCode) for the host with that id or name.\n"
    "team: the teams of the business edition, acting as this computer's identity: members\n"
    "      with roles (member, admin, owner), shared computers, invitations, the audit log.\n"
    "SCRIPT: steps separated by \";\": move X Y (fractions 0-1), click|down|up [left|right|middle],\n"
    "        key CODE [FLAGS], type TEXT, scroll DX DY, wait MS; sent once the host admits us.\n"
    "Exit status: 0 ended normally, 2 wrong access code, 3 identity changed,\n"
    "4 network failure, 64 bad usage, 1 refused or unanswered.\n";

}  // namespace

int main(int argc, char** argv) {
  using corvel::tool::CommandLine;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::cout << kUsage;
    return args.empty() ? corvel::tool::ExitCode::usage : 0;
  }
  if (args[0] == "macs" || args[0] == "command") {
    using corvel::tool::CloudToolOptions;
    auto cloudParsed = CloudToolOptions::parse({args.begin() + 1, args.end()});
    if (auto* problem = std::get_if<std::string>(&cloudParsed)) {
      std::cerr << "corvel: " << *problem << "\n" << kUsage;
      return corvel::tool::ExitCode::usage;
    }
    const auto& options = std::get<CloudToolOptions>(cloudParsed);
    return args[0] == "macs" ? corvel::tool::CloudToolCommand::macs(options)
                             : corvel::tool::CloudToolCommand::command(options);
  }
  if (args[0] == "team") return corvel::tool::TeamCommand::run({args.begin() + 1, args.end()});
  auto parsed = CommandLine::parse(args);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    std::cerr << "corvel: " << *problem << "\n" << kUsage;
    return corvel::tool::ExitCode::usage;
  }
  const auto& line = std::get<CommandLine>(parsed);
  using Command = CommandLine::Command;
  using namespace corvel::tool;
  switch (line.command) {
    case Command::view: return ViewCommand::run(line.options);
    case Command::send: return SendCommand::run(line.options);
    case Command::receive: return ReceiveCommand::run(line.options);
    case Command::chat: return ChatCommand::run(line.options);
    case Command::clipboard: return ClipboardCommand::run(line.options);
    case Command::text: return ScreenRequestCommand::text(line.options);
    case Command::screenshot: return ScreenRequestCommand::screenshot(line.options);
    case Command::connect: break;
  }
  return ConnectCommand::run(line.options);
}
