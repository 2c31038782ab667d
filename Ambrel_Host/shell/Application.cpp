#include "Ambrel_Host/shell/Application.h"

#include <csignal>
#include <iostream>

#include <boost/asio/signal_set.hpp>

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/reach/ComputerName.h"
#include "Ambrel_Host/reach/ServiceAdvertiser.h"
#include "Ambrel_Host/shell/Notifier.h"
#include "Ambrel_Host/shell/HostVersion.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/net/Pairing.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("app"); }

constexpr std::string_view kUsage =
    "usage: ambrel-host [--help] [--version]\n"
    "\n"
    "Runs the host until interrupted (Ctrl-C or SIGTERM).\n"
    "Files live under $AMBREL_HOME when it is set, else under the XDG folders.\n";

// What a person starting the host needs to connect, on standard output only (never the log).
void printConnectionDetails(const HostController& host) {
  corvel::net::PairingInfo pairing{host.computerName(), std::nullopt, host.port(), host.accessCode()};
  std::cout << "Access code: " << host.accessCode() << "\n"
            << "Identity: " << corvel::security::SecureIdentity::shared().fingerprint() << "\n"
            << "Pairing link: " << corvel::net::Pairing::url(pairing) << "\n"
            << "Listener: " << host.listenerState() << std::endl;
}

int runHost() {
  corvel::Log::addFileSink(corvel::Paths::dataFolder() / "logs" / "ambrel-host.log");

  corvel::MainLoop loop;
  HostEnvironment env;
  env.executor = loop.executor();
  env.clock = corvel::Clock::system();
  env.defaults = std::make_shared<corvel::Defaults>(corvel::Defaults::standardFile());
  env.advertiser = ServiceAdvertiser::create();
  env.notifier = Notifier::logOnly();
  env.computerName = computerName();
  auto host = std::make_shared<HostController>(std::move(env));

  std::unique_ptr<corvel::Timer> shutdownTimer;
  boost::asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    log().info("received signal {}, shutting down", signal);
    host->shutdown();
    // Let the byes go out before the loop ends.
    shutdownTimer = corvel::Clock::system()->schedule(loop.executor(), std::chrono::milliseconds(300),
                                                      [&loop] { loop.stop(); });
  });

  boost::asio::post(loop.executor(), [&] {
    host->start();
    for (auto key : HostSettings::keys()) {
      log().info("setting {} = {}", key, host->settings().value(key)->dump());
    }
    printConnectionDetails(*host);
    host->subscribe([&host](std::string_view property) {
      if (property == "listenerState") std::cout << "Listener: " << host->listenerState() << std::endl;
      if (property == "accessCode") std::cout << "Access code: " << host->accessCode() << std::endl;
    });
    log().info("Ambrel Host {} is running (settings in {})", hostVersion(),
               host->settings().defaults().file().string());
  });

  loop.run();
  host.reset();
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
