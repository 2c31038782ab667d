#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "CorvelKit/net/CorvelConnection.h"
#include "tools/corvel/InputScript.h"

namespace corvel::tool {

using net::Endpoint;

// Exit statuses of `corvel`, so scripts can tell the outcomes apart.
struct ExitCode {
  static constexpr int ok = 0;               // ready, then ended by the host, a signal or the timer
  static constexpr int failed = 1;           // the host refused or never answered what was asked
  static constexpr int usage = 64;
  static constexpr int wrongCode = 2;        // TLS refused the code, or the first sealed message
  static constexpr int identityChanged = 3;  // the host's fingerprint differs from the pinned one
  static constexpr int networkFailure = 4;   // never got through to a secure channel
};

// What every command that connects to a host takes.
struct ClientOptions {
  // HOST, HOST:PORT or [IPv6]:PORT; or the id of a host in the owner's cloud database (as
  // `corvel macs` lists it), whose every address is then tried at once.
  std::string target;
  std::string code;  // for a host id, taken from its record (with the owner secret) when not given
  std::string database;                   // the cloud database, as for `corvel macs`
  std::optional<std::string> secretFile;  // the owner secret's file, as for `corvel macs`
  std::optional<std::string> pin;
  std::optional<std::string> interfaceName;
  // Over QUIC (a host's hole-punching listener) from this local UDP port (0: any).
  bool quic = false;
  std::uint16_t quicLocalPort = 0;
  // For a host id: also through a hole punched in the host's router, learning this side's public
  // address from this STUN server (HOST or HOST:PORT; empty: the public default).
  bool holePunch = false;
  std::string stunServer;
  std::string deviceName = "corvel";
  std::optional<std::string> deviceID;
  std::optional<std::string> ownerToken;
  std::optional<int> seconds;        // stay this long after ready, then leave
  std::optional<InputScript> input;  // sent once the host has admitted this client
  // What the feature commands take.
  std::vector<std::string> operands;    // send: files; chat, clipboard: text; screenshot: the file
  std::optional<std::string> into;      // receive: the folder; clipboard: a file for what arrives
  std::optional<std::string> textFile;  // clipboard: the text to set, from this file
  std::optional<int> files;             // receive: leave after this many files
};

struct ViewOptions : ClientOptions {
  std::optional<int> frames;          // leave after this many decoded pictures
  std::optional<std::string> record;  // movie file for the received stream
  bool headless = false;              // decode and count only, no window and no sound output
  std::optional<std::string> soundFile;  // WAV file for the decoded sound
};

// A command line: a command with its options, or an error sentence for the usage text.
struct CommandLine {
  enum class Command { connect, view, send, receive, chat, clipboard, text, screenshot };
  Command command = Command::connect;
  ViewOptions options;  // `connect` uses the ClientOptions part

  static std::variant<CommandLine, std::string> parse(const std::vector<std::string_view>& args);
};

}  // namespace corvel::tool
