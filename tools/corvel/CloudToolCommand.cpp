#include "tools/corvel/CloudToolCommand.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <memory>

#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/cloud/CloudMacText.h"
#include "CorvelKit/cloud/CorvelCloud.h"
#include "CorvelKit/cloud/OwnerKey.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

namespace {

using cloud::CloudMac;
using cloud::CloudMacText;
using cloud::CorvelCloud;

std::shared_ptr<cloud::CloudDatabase> openDatabase(const std::string& database) {
  if (database.empty()) return std::make_shared<cloud::SqliteCloudDatabase>();
  const bool postgres = database.starts_with("postgresql://") || database.starts_with("postgres://") ||
                        database.find('=') != std::string::npos;
  if (postgres) return std::make_shared<cloud::PostgresCloudDatabase>(database);
  return std::make_shared<cloud::SqliteCloudDatabase>(database);
}

// The owner key from the secret's file; false (with a message) when it can't be read.
bool loadOwnerKey(const CloudToolOptions& options, CorvelCloud& cloud) {
  if (!options.secretFile) return true;
  std::string line;
  if (*options.secretFile == "-") {
    std::getline(std::cin, line);
  } else {
    std::ifstream in(*options.secretFile);
    if (!in) {
      std::cerr << "corvel: can't read the owner secret from " << *options.secretFile << "\n";
      return false;
    }
    std::getline(in, line);
  }
  auto key = cloud::OwnerKey::derive(line);
  secureWipe(line.data(), line.size());
  if (!key) {
    std::cerr << "corvel: the owner secret is empty\n";
    return false;
  }
  cloud.setOwnerKey(std::make_shared<cloud::OwnerKey>(std::move(*key)));
  return true;
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

}  // namespace

std::variant<CloudToolOptions, std::string> CloudToolOptions::parse(
    const std::vector<std::string_view>& args) {
  CloudToolOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const auto arg = args[i];
    auto value = [&](std::string& into) -> bool {
      if (i + 1 >= args.size()) return false;
      into = std::string(args[++i]);
      return true;
    };
    if (arg == "--database") {
      if (!value(options.database)) return std::string("--database needs a file or a URL");
    } else if (arg == "--secret-file") {
      std::string file;
      if (!value(file) || file.empty()) return std::string("--secret-file needs a file (or - for standard input)");
      options.secretFile = file;
    } else if (arg == "--name") {
      if (!value(options.sender) || options.sender.empty()) return std::string("--name needs a name");
    } else if (arg.starts_with("--")) {
      return "unknown option " + std::string(arg);
    } else {
      options.operands.emplace_back(arg);
    }
  }
  return options;
}

int CloudToolCommand::macs(const CloudToolOptions& options) {
  if (!options.operands.empty()) {
    std::cerr << "corvel: macs takes no operands\n";
    return ExitCode::usage;
  }
  CorvelCloud cloud(openDatabase(options.database));
  if (!loadOwnerKey(options, cloud)) return ExitCode::failed;
  auto all = cloud.fetchAll();
  if (!all && all.error() != cloud::CloudError::zoneNotFound) {
    std::cerr << "corvel: the cloud database failed: " << all.error().message() << "\n";
    return ExitCode::networkFailure;
  }
  if (!all || all->macs.empty()) {
    std::cout << "No hosts.\n";
    return ExitCode::ok;
  }
  auto macs = std::move(all->macs);
  std::sort(macs.begin(), macs.end(), [](const CloudMac& a, const CloudMac& b) {
    return a.lastSeen > b.lastSeen;  // the most recently seen first
  });
  const auto now = Date::now();
  for (const auto& mac : macs) {
    for (const auto& line : CloudMacText::lines(mac, now, /*showSecrets=*/options.secretFile.has_value())) {
      std::cout << line << "\n";
    }
  }
  return ExitCode::ok;
}

int CloudToolCommand::command(const CloudToolOptions& options) {
  if (options.operands.size() != 2) {
    std::cerr << "corvel: command needs HOST and ACTION\n";
    return ExitCode::usage;
  }
  const auto& wanted = options.operands[0];
  auto action = net::cloudAction(options.operands[1]);
  if (!action) {
    std::cerr << "corvel: unknown action \"" << unicode::escapeControls(options.operands[1])
              << "\" (playSound, lockScreen, sleepDisplay, disconnectAll, newCode)\n";
    return ExitCode::usage;
  }
  CorvelCloud cloud(openDatabase(options.database));
  if (!loadOwnerKey(options, cloud)) return ExitCode::failed;
  auto all = cloud.fetchAll();
  if (!all) {
    std::cerr << "corvel: the cloud database failed: " << all.error().message() << "\n";
    return all.error() == cloud::CloudError::zoneNotFound ? ExitCode::failed : ExitCode::networkFailure;
  }
  // The id, or a name only one host has.
  std::vector<const CloudMac*> matches;
  for (const auto& mac : all->macs) {
    if (upper(mac.id) == upper(wanted)) {
      matches = {&mac};
      break;
    }
    if (upper(mac.name) == upper(wanted)) matches.push_back(&mac);
  }
  if (matches.empty()) {
    std::cerr << "corvel: no host named " << unicode::escapeControls(wanted) << " (see corvel macs)\n";
    return ExitCode::failed;
  }
  if (matches.size() > 1) {
    std::cerr << "corvel: several hosts are named " << unicode::escapeControls(wanted)
              << "; give the id of one:\n";
    for (const auto* mac : matches) std::cerr << "  " << unicode::escapeControls(mac->id) << "\n";
    return ExitCode::usage;
  }
  const auto& target = *matches.front();
  if (auto ec = cloud.send(*action, target.id, options.sender)) {
    std::cerr << "corvel: the cloud database failed: " << ec.message() << "\n";
    return ExitCode::networkFailure;
  }
  std::cout << "Queued " << net::rawValue(*action) << " for " << unicode::escapeControls(target.name)
            << " (" << unicode::escapeControls(target.id) << ").\n";
  return ExitCode::ok;
}

}  // namespace corvel::tool
