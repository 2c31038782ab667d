#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvel::tool {

// What `macs` and `command` take: the owner's database and, optionally, the owner secret.
struct CloudToolOptions {
  // A PostgreSQL connection URL or keyword string, or the path of a SQLite file; empty: this
  // computer's own file (as the host uses it without a `cloudDatabaseURL`).
  std::string database;
  // Where to read the owner secret (its first line) from; "-" is standard input. Never the
  // command line itself.
  std::optional<std::string> secretFile;
  std::string sender = "corvel";
  std::vector<std::string> operands;  // command: HOST ACTION

  // The options after the command word, or an error sentence for the usage text.
  static std::variant<CloudToolOptions, std::string> parse(const std::vector<std::string_view>& args);
};

// The owner's hosts through the cloud database, without connecting to any of them.
// `macs` prints each host's presence record: name, id, model, last seen, addresses, and with the
// owner secret the sealed fields (access code, identity, owner token). `command HOST ACTION`
// queues ACTION (playSound, lockScreen, sleepDisplay, disconnectAll, newCode) for the host whose
// id or name is HOST; the host performs it once when it next polls.
struct CloudToolCommand {
  static int macs(const CloudToolOptions& options);
  static int command(const CloudToolOptions& options);
};

}  // namespace corvel::tool
