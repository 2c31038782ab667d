#include "Ambrel_Host/shell/UpdateCommand.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/shell/HostVersion.h"
#include "Ambrel_Host/shell/UpdateChecker.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Unicode.h"

namespace ambrel {

namespace {

using corvel::unicode::escapeControls;
constexpr std::string_view kChecking = "Checking for updates…";

std::string installedText() {
  return std::string(hostVersion()) + " (" + std::string(hostBuild()) + ")";
}

ControlReply describe(const UpdateChecker& checker) {
  const auto& status = checker.status();
  switch (status.kind) {
    case UpdateStatus::Kind::idle:
      return {0, "No update check yet. Ambrel Host " + installedText() + ".\n"};
    case UpdateStatus::Kind::checking:
      return {0, std::string(kChecking) + "\n"};
    case UpdateStatus::Kind::upToDate:
      return {0, "You're up to date: Ambrel Host " + installedText() + " is the latest version.\n"};
    case UpdateStatus::Kind::available: {
      std::string out = "Ambrel Host " + escapeControls(status.text);
      if (const auto& release = checker.lastRelease()) {
        out += " (build " + std::to_string(release->build) + ") is available; you have " + installedText() + ".\n";
        out += "Download: " +
               (release->isDirectDownload() && UpdateRelease::isWebAddress(release->url)
                    ? escapeControls(release->url)
                    : std::string(UpdateChecker::downloadPageURL)) +
               "\n";
        if (checker.skippedBuild() >= release->build) out += "You chose to skip this build.\n";
      } else {
        out += " is available.\n";
      }
      return {0, out};
    }
    case UpdateStatus::Kind::failed:
      return {ControlCommands::failed, "Couldn't check for updates: " + escapeControls(status.text) +
                                           "\nPlease try again later, or visit " +
                                           std::string(UpdateChecker::downloadPageURL) + ".\n"};
  }
  return {ControlCommands::failed, "\n"};
}

ControlReply skip(UpdateChecker& checker) {
  const auto& release = checker.lastRelease();
  if (checker.status().kind != UpdateStatus::Kind::available || !release) {
    return {ControlCommands::failed, "No newer build to skip (ambrel-host update check looks for one).\n"};
  }
  checker.skip(release->build);
  return {0, "Ambrel Host " + escapeControls(release->shortVersion) + " (build " + std::to_string(release->build) +
                 ") won't be offered again by the automatic check.\n"};
}

}  // namespace

ControlReply UpdateCommand::run(UpdateChecker& checker, const std::vector<std::string>& args) {
  if (args.size() > 2) return {ControlCommands::usageError, std::string(usageText) + "\n"};
  const std::string action = args.size() == 2 ? args[1] : "status";
  if (action == "status") return describe(checker);
  if (action == "check") {
    checker.check(true);
    return {0, std::string(kChecking) + "\n"};
  }
  if (action == "skip") return skip(checker);
  return {ControlCommands::usageError, std::string(usageText) + "\n"};
}

bool UpdateCommand::stillChecking(const ControlReply& reply) {
  return reply.output.starts_with(kChecking);
}

ControlReply UpdateCommand::offline(const std::vector<std::string>& args) {
  if (args.size() > 2) return {ControlCommands::usageError, std::string(usageText) + "\n"};
  const std::string action = args.size() == 2 ? args[1] : "check";
  if (action != "status" && action != "check" && action != "skip") {
    return {ControlCommands::usageError, std::string(usageText) + "\n"};
  }
  auto defaults = std::make_shared<corvel::Defaults>(corvel::Defaults::standardFile());
  HostSettings settings(defaults);
  settings.registerDefaults();
  boost::asio::io_context loop;
  UpdateChecker::Options options;
  options.executor = loop.get_executor();
  options.defaults = defaults;
  options.feedURL = settings.text(Setting::updateFeedURL);
  options.installedVersion = std::string(hostVersion());
  options.installedBuild = std::string(hostBuild());
  auto checker = UpdateChecker::make(std::move(options));
  auto guard = boost::asio::make_work_guard(loop);
  checker->check(true);
  while (checker->status().kind == UpdateStatus::Kind::checking) loop.run_one_for(std::chrono::milliseconds(100));
  return action == "skip" ? skip(*checker) : describe(*checker);
}

}  // namespace ambrel
