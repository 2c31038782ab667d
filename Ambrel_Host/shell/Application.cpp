#include "Ambrel_Host/shell/Application.h"

#include <csignal>
#include <iostream>

#include <boost/asio/signal_set.hpp>

#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/shell/HostVersion.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("app"); }

constexpr std::string_view kUsage =
    "usage: ambrel-host [--help] [--version]\n"
    "\n"
    "Runs the host until interrupted (Ctrl-C or SIGTERM).\n"
    "Files live under $AMBREL_HOME when it is set, else under the XDG folders.\n";

int runHost() {
  corvel::Log::addFileSink(corvel::Paths::dataFolder() / "logs" / "ambrel-host.log");

  auto defaults = std::make_shared<corvel::Defaults>(corvel::Defaults::standardFile());
  HostSettings settings(defaults);
  settings.registerDefaults();
  for (auto key : HostSettings::keys()) {
    log().info("setting {} = {}", key, settings.value(key)->dump());
  }

  corvel::MainLoop loop;
  boost::asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    log().info("received signal {}, shutting down", signal);
    loop.stop();
  });

  log().info("Ambrel Host {} is running (settings in {})", hostVersion(),
             defaults->file().string());
  loop.run();
  log().info("Ambrel Host stopped");
  return 0;
}
}  // namespace

int Application::main(std::span<const std::string_view> args) {
  if (args.size() > 1) {
    if (args[1] == "--help" || args[1] == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (args[1] == "--version") {
      std::cout << "ambrel-host " << hostVersion() << "\n";
      return 0;
    }
    std::cerr << "ambrel-host: unknown argument \"" << args[1] << "\"\n" << kUsage;
    return 64;
  }
  return runHost();
}

}  // namespace ambrel
