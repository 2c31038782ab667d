#include "tools/corvel/CloudToolCommand.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/cloud/CloudMacText.h"
#include "CorvelKit/cloud/CorvelCloud.h"
#include "tools/corvel/ClientOptions.h"
#include "tools/corvel/OwnerCloud.h"

namespace corvel::tool {

namespace {

using cloud::CloudMac;
using cloud::CloudMacText;
using cloud::CorvelCloud;

// Prints a failure to standard error; its exit status.
int report(const OwnerCloud::Failure& failure) {
  std::cerr << "corvel: " << failure.message << "\n";
  return failure.exitCode;
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
  CorvelCloud cloud(OwnerCloud::open(options.database));
  if (auto failure = OwnerCloud::loadKey(options.secretFile, cloud)) return report(*failure);
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
  CorvelCloud cloud(OwnerCloud::open(options.database));
  if (auto failure = OwnerCloud::loadKey(options.secretFile, cloud)) return report(*failure);
  auto found = OwnerCloud::find(cloud, wanted);
  if (auto* failure = std::get_if<OwnerCloud::Failure>(&found)) return report(*failure);
  const auto& target = std::get<CloudMac>(found);
  if (auto ec = cloud.send(*action, target.id, options.sender)) {
    std::cerr << "corvel: the cloud database failed: " << ec.message() << "\n";
    return ExitCode::networkFailure;
  }
  std::cout << "Queued " << net::rawValue(*action) << " for " << unicode::escapeControls(target.name)
            << " (" << unicode::escapeControls(target.id) << ").\n";
  return ExitCode::ok;
}

}  // namespace corvel::tool
