#include "Ambrel_Host/shell/Application.h"

#include <csignal>
#include <termios.h>
#include <unistd.h>
#include <sys/resource.h>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <thread>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "Ambrel_Host/browser/BrowserIdentity.h"
#include "Ambrel_Host/browser/BrowserServer.h"
#include "Ambrel_Host/capture/DesktopBackendChooser.h"
#include "Ambrel_Host/capture/DisplayStreams.h"
#include "Ambrel_Host/capture/StreamQuality.h"
#include "Ambrel_Host/capture/VirtualDisplay.h"
#include "Ambrel_Host/controller/DesktopScreenReader.h"
#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/controller/HostStatusSource.h"
#include "Ambrel_Host/controller/LinuxSystemActions.h"
#include "Ambrel_Host/controller/ProcessLauncher.h"
#include "Ambrel_Host/controller/SlowDiskCache.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/overlays/CurtainGuard.h"
#include "Ambrel_Host/overlays/GammaCurtain.h"
#include "Ambrel_Host/overlays/HostOverlays.h"
#include "Ambrel_Host/shell/ControlCommands.h"
#include "Ambrel_Host/shell/AutostartEntry.h"
#include "Ambrel_Host/shell/ControlServer.h"
#include "Ambrel_Host/shell/ControllerQuicListener.h"
#include "Ambrel_Host/shell/KeepAwake.h"
#include "Ambrel_Host/shell/SessionHistory.h"
#include "Ambrel_Host/shell/HostActivity.h"
#include "Ambrel_Host/shell/RemotePrint.h"
#include "Ambrel_Host/controller/PrintDelivery.h"
#include "Ambrel_Host/shell/UpdateChecker.h"
#include "Ambrel_Host/shell/UpdateCommand.h"
#include "Ambrel_Host/reach/ComputerName.h"
#include "Ambrel_Host/reach/NatHostPuncher.h"
#include "Ambrel_Host/reach/PortMapper.h"
#include "Ambrel_Host/reach/ServiceAdvertiser.h"
#include "Ambrel_Host/shell/DBusNotifier.h"
#include "Ambrel_Host/shell/HostVersion.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/cloud/CloudDatabase.h"
#include "CorvelKit/diagnostics/CrashHandler.h"
#include "CorvelKit/diagnostics/Diagnostics.h"
#include "CorvelKit/diagnostics/HangWatchdog.h"
#include "CorvelKit/diagnostics/MetricsRecorder.h"
#include "CorvelKit/net/EndpointText.h"
#include "CorvelKit/net/Pairing.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("app"); }

constexpr std::string_view kUsage =
    "usage: ambrel-host [--help] [--version] [--headless]\n"
    "       ambrel-host COMMAND [ARGS]\n"
    "\n"
    "Without a command, runs the host until interrupted (Ctrl-C or SIGTERM) or quit from its\n"
    "panel. --headless runs it without the desktop interface.\n"
    "Commands for the running host:\n"
    "  code                  show the access code\n"
    "  new-code              make a new access code (everyone is disconnected)\n"
    "  disconnect-all        disconnect every device\n"
    "  status                listener, support code and connected devices\n"
    "  approve ID | always ID | deny ID\n"
    "                        answer a device waiting for approval\n"
    "  support start|end     start or end a support session with a one-time code\n"
    "  trusted               list trusted devices\n"
    "  forget FINGERPRINT    forget a trusted device\n"
    "  settings [KEY [VALUE]]\n"
    "                        show or change settings (works without a running host too)\n"
    "  send FILE... [--to ID]\n"
    "                        send files to every connected device, or to one\n"
    "  received              list the files devices sent in this run\n"
    "  chat [TEXT]           send TEXT to every connected device, or show the chat\n"
    "  cloud                 cloud database account, published record and last error\n"
    "  cloud secret          read the owner secret from standard input and keep it in the\n"
    "                        keychain (works without a running host too)\n"
    "  cloud forget-secret   remove the owner secret\n"
    "  cloud password        read the shared database's password from standard input and\n"
    "                        keep it in the keychain\n"
    "  report [NOTE]         write a problem report with the latest crash, hang and metrics\n"
    "                        reports (works without a running host)\n"
    "  update [check|skip]   what the update check found; check now (works without a running\n"
    "                        host too); skip the newer build it found\n"
    "  show                  bring the running host's panel to the front\n"
    "  quit                  close every session and end the running host\n"
    "Files live under $AMBREL_HOME when it is set, else under the XDG folders.\n";

// A secret, one line of standard input; not echoed when typed at a terminal.
std::optional<std::string> readSecretLine(const char* prompt) {
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::cerr << prompt << std::flush;
  }
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!read && line.empty()) return std::nullopt;
  return line;
}

corvel::diagnostics::AppIdentity appIdentity() {
  return {std::string(corvel::kHostSubsystem), std::string(hostVersion()), std::string(hostBuild()),
          corvel::diagnostics::CrashHandler::buildID()};
}

// `report [NOTE]`: the problem report, from the files alone.
int writeProblemReport(const std::vector<std::string>& request) {
  if (request.size() > 2) {
    std::cerr << "usage: ambrel-host report [NOTE]\n";
    return ControlCommands::usageError;
  }
  corvel::diagnostics::Diagnostics diagnostics(corvel::diagnostics::Diagnostics::defaultFolder(), appIdentity());
  auto file = diagnostics.problemReport(request.size() == 2 ? request[1] : std::string());
  if (!file) {
    std::cerr << "Couldn't write the problem report.\n";
    return ControlCommands::failed;
  }
  std::cout << "Problem report: " << file->string() << "\n";
  return 0;
}

std::error_code waitForUpdateCheck(ControlReply& reply) {
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (auto ec = ControlClient::send(ControlServer::defaultPath(), {"update", "status"}, reply)) return ec;
    if (!UpdateCommand::stillChecking(reply)) break;
  }
  return {};
}

int runCommand(std::span<const std::string_view> args) {
  std::vector<std::string> request(args.begin(), args.end());
  if (request[0] == "report") return writeProblemReport(request);
  if (request.size() >= 2 && request[0] == "cloud" && (request[1] == "secret" || request[1] == "password")) {
    // Never from the command line, where other users' process lists would show it.
    if (request.size() > 2) {
      std::cerr << "Secrets are read from standard input, not from the command line.\n";
      return ControlCommands::usageError;
    }
    auto secret = readSecretLine(request[1] == "secret"
                                     ? "Owner secret (the same on each of your devices): "
                                     : "Database password: ");
    if (!secret) {
      std::cerr << "Nothing was given on standard input.\n";
      return ControlCommands::usageError;
    }
    request.push_back(std::move(*secret));
  }
  if (!request.empty() && request[0] == "send") {
    // The host opens the files: name them from where the command was given.
    for (std::size_t i = 1; i < request.size(); ++i) {
      if (request[i] == "--to") {
        ++i;
        continue;
      }
      std::error_code ec;
      auto absolute = std::filesystem::absolute(request[i], ec);
      if (!ec) request[i] = absolute.string();
    }
  }
  ControlReply reply;
  auto ec = ControlClient::send(ControlServer::defaultPath(), request, reply);
  if (!ec && !request.empty() && request[0] == "update" && request.size() == 2 && request[1] == "check" &&
      reply.status == 0) {
    // The host checks in the background: wait for its answer (the check gives up after 15 s).
    ec = waitForUpdateCheck(reply);
  }
  if (ec && !request.empty() && request[0] == "update") {
    reply = UpdateCommand::offline(request);
  } else if (ec) {
    if (!request.empty() && request[0] == "settings") {
      reply = ControlCommands::settingsOffline(request);
    } else if (!request.empty() && request[0] == "cloud") {
      reply = ControlCommands::cloudOffline(request);
    } else {
      std::cerr << "Ambrel Host isn't running.\n";
      return ControlCommands::failed;
    }
  }
  (reply.status == 0 ? std::cout : std::cerr) << reply.output;
  return reply.status;
}

// What a person starting the host needs to connect, on standard output only (never the log).
void printConnectionDetails(const HostController& host) {
  corvel::net::PairingInfo pairing{host.computerName(), std::nullopt, host.port(), host.accessCode()};
  std::cout << "Access code: " << host.accessCode() << "\n"
            << "Identity: " << corvel::security::SecureIdentity::shared().fingerprint() << "\n"
            << "Pairing link: " << corvel::net::Pairing::url(pairing) << "\n"
            << "Listener: " << host.listenerState() << std::endl;
}

// This program's own file, for the login entry.
std::filesystem::path programPath() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path("ambrel-host") : self;
}

// Every connection, pipeline and X connection takes descriptors: run with as many as the system
// allows this process, not the desktop's smaller default.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const auto before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    log().warn("couldn't raise the descriptor limit from {}", before);
  }
}

// The update check of this host: the feed from the settings, answers opened in the browser.
std::shared_ptr<UpdateChecker> makeUpdateChecker(corvel::Executor executor,
                                                 std::shared_ptr<corvel::Defaults> defaults) {
  UpdateChecker::Options options;
  options.executor = std::move(executor);
  options.feedURL = HostSettings(defaults).text(Setting::updateFeedURL);
  options.defaults = std::move(defaults);
  options.installedVersion = std::string(hostVersion());
  options.installedBuild = std::string(hostBuild());
  options.openURL = [launcher = ProcessLauncher::posix()](const std::string& url) {
    if (!launcher->start("xdg-open", {url})) log().warn("couldn't start xdg-open");
  };
  return UpdateChecker::make(std::move(options));
}

int runHost(const DesktopFactory* desktopFactory) {
  // One host per person: a second start hands over to the one running (which brings its panel
  // up) and ends.
  {
    ControlReply reply;
    if (!ControlClient::send(ControlServer::defaultPath(), {"show"}, reply)) {
      std::cout << reply.output;
      return reply.status;
    }
  }
  raiseDescriptorLimit();
  corvel::Log::addFileSink(corvel::Paths::dataFolder() / "logs" / "ambrel-host.log");
  // Crash, hang and metrics reports of this run go to the diagnostics folder.
  corvel::diagnostics::Diagnostics diagnostics(corvel::diagnostics::Diagnostics::defaultFolder(), appIdentity());
  diagnostics.start();
  corvel::diagnostics::CrashHandler::install(diagnostics.folder(), diagnostics.identity());

  // Without a desktop to show, the host brings its own virtual one (a Wayland session is a desktop).
  std::unique_ptr<VirtualDisplay> virtualDisplay;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* sessionType = std::getenv("XDG_SESSION_TYPE");
  const bool waylandSession = (wayland != nullptr && *wayland != '\0') ||
                              (sessionType != nullptr && std::string_view(sessionType) == "wayland");
  if ((display == nullptr || *display == '\0') && !waylandSession) {
    auto started = VirtualDisplay::start();
    if (started) {
      virtualDisplay = std::move(*started);
      ::setenv("DISPLAY", virtualDisplay->name().c_str(), 1);
      log().info("no desktop found; running on a virtual display {}", virtualDisplay->name());
    } else {
      log().warn("no desktop and no virtual display ({}); running without a screen",
                 started.error().message());
    }
  }

  // A curtain left up by a run that couldn't take it down (and whose guard didn't either).
  if (GammaCurtain::restore(GammaCurtain::defaultStateFile())) {
    log().warn("the last run ended with the screens blacked out; they are back");
  }

  corvel::MainLoop loop;
  HostEnvironment env;
  env.executor = loop.executor();
  env.clock = corvel::Clock::system();
  env.defaults = std::make_shared<corvel::Defaults>(corvel::Defaults::standardFile());
  env.advertiser = ServiceAdvertiser::create();
  // "Open" on a received file's notification shows it in the desktop's own application.
  env.notifier = std::make_shared<DBusNotifier>(
      std::nullopt, [launcher = ProcessLauncher::posix()](const std::filesystem::path& file) {
        if (!launcher->start("xdg-open", {file.string()})) log().warn("couldn't start xdg-open");
      });
  env.computerName = computerName();
  // The session's displays, capture, input and clipboard: X11, or what a Wayland desktop offers.
  const DesktopBackend desktopBackend = DesktopBackendChooser::choose();
  log().info("Desktop: {} — {}", desktopBackend.name, desktopBackend.reason);
  env.services.displays = desktopBackend.displays;
  {
    // The controller applies the stored quality and frame rate when it starts.
    const auto initial = preset(StreamQuality::balanced);
    // The computer's sound goes with the clients' video (the browser's streams carry none).
    auto parts = DisplayStreams::parts(desktopBackend.capturer);
    parts.sound = [] { return SoundSource::create(); };
    env.services.streams = std::make_shared<DisplayStreams>(
        loop.executor(), std::move(parts), initial.maxWidth, initial.bitrate, frameRate(false));
  }
  env.services.input = InputInjector::createForDesktop(desktopBackend.eventPoster());
  env.services.clipboard = desktopBackend.clipboard;
  // The host, once made, for the services that call back into it (set before it starts).
  auto hostSlot = std::make_shared<std::weak_ptr<HostController>>();
  auto overlays = std::make_shared<HostOverlays>(HostOverlays::Options{
      loop.executor(), GammaCurtain::defaultStateFile(), programPath(), "",
      [hostSlot] {
        if (auto host = hostSlot->lock()) host->stopFromComputer();
      },
      [hostSlot](std::uint32_t displayID) -> std::optional<DisplayBounds> {
        auto host = hostSlot->lock();
        return host ? host->context().displays.boundsOf(displayID) : std::nullopt;
      }});
  env.services.overlays = overlays;
  {
    // The browser viewer's server: its own pipeline, injector and certificate.
    BrowserServer::Parts parts;
    parts.identity = [identity = std::make_shared<BrowserIdentity>(
                          env.defaults, corvel::Paths::dataFolder(), env.computerName)] {
      return identity->identity();
    };
    parts.video = DisplayStreams::parts(desktopBackend.capturer);
    parts.displays = [source = env.services.displays]()
        -> corvel::Expected<std::vector<ScreenDisplay>, std::error_code> {
      if (!source) return corvel::Unexpected<std::error_code>{std::make_error_code(std::errc::no_such_device)};
      return source->displays();
    };
    parts.injector = InputInjector::createForDesktop(desktopBackend.eventPoster());
    // Wrong codes at the browser port count in the host's own guard.
    parts.isBlocked = [hostSlot](const std::string& address) {
      auto host = hostSlot->lock();
      return host && host->admission().isBlocked(address);
    };
    parts.wrongCode = [hostSlot, executor = loop.executor()](const std::string& address) {
      boost::asio::post(executor, [hostSlot, address] {
        if (auto host = hostSlot->lock()) host->admission().recordWrongCode(address);
      });
    };
    auto browser = BrowserServer::create(std::move(parts));
    // On standard output, like the other connection details.
    browser->setStateHandler([](const std::optional<std::string>& address) {
      std::cout << "Browser access: " << (address ? *address : std::string("off")) << std::endl;
    });
    env.services.browser = std::move(browser);
  }
  env.services.screenReader = std::make_shared<DesktopScreenReader>();
  auto history = std::make_shared<SessionHistory>(SessionHistory::defaultFile(), env.clock);
  env.services.history = history;
  env.services.loginItem = std::make_shared<AutostartEntry>(AutostartEntry::defaultPath(), programPath());
  env.services.actions = std::make_shared<LinuxSystemActions>(ProcessLauncher::posix(), loop.executor());
  env.services.keepAwake = std::make_shared<KeepAwake>();
  // The owner's shared database when one is set, else this computer's own file.
  env.services.cloud = corvel::cloud::CloudDatabase::make(
      HostSettings(env.defaults).text(Setting::cloudDatabaseURL));
  // The home router forwards the listening port, where it offers NAT-PMP.
  env.services.portMapper = std::make_shared<PortMapper>(loop.executor(), env.clock, PortMapper::Options{});
  // Viewers outside come in through a hole punched in the router, when the owner turned it on.
  if (HostSettings(env.defaults).flag(Setting::natHolePunch)) {
    NatHostPuncher::Options punch;
    if (auto stun = corvel::net::parseEndpoint(HostSettings(env.defaults).text(Setting::stunServer),
                                               corvel::net::StunClient::defaultServerPort)) {
      punch.stunHost = stun->host;
      punch.stunPort = stun->port;
    }
    env.services.holePuncher = std::make_shared<NatHostPuncher>(
        loop.executor(), std::make_unique<ControllerQuicListener>(hostSlot), std::move(punch));
  }
  env.services.status = [source = std::make_shared<HostStatusSource>(SlowDiskCache::shared())] {
    return source->makeHostStatus();
  };
  auto settingsStore = env.defaults;
  auto host = std::make_shared<HostController>(std::move(env));
  *hostSlot = host;
  auto updates = makeUpdateChecker(loop.executor(), std::move(settingsStore));
  corvel::diagnostics::HangWatchdog watchdog(loop.executor(), diagnostics, "main");
  // The print inbox: documents printed to the "Ambrel" queue go to a connected device.
  RemotePrint::Options printOptions;
  printOptions.executor = loop.executor();
  printOptions.onDocument = [hostSlot](const std::filesystem::path& document) {
    if (auto host = hostSlot->lock()) PrintDelivery::deliver(*host, document);
  };
  auto print = RemotePrint::make(std::move(printOptions));
  std::unique_ptr<HostActivity> activity;
  auto metrics = std::make_shared<corvel::diagnostics::MetricsRecorder>(
      loop.executor(), diagnostics, [&activity] {
        return activity ? activity->read() : corvel::diagnostics::MetricsRecorder::Activity{};
      });

  // Quit: every session is told "Ambrel Host quit." and the byes get a moment to go out before
  // the loop ends; a second quit while that runs ends it at once. On the loop only.
  std::unique_ptr<corvel::Timer> shutdownTimer;
  bool quitting = false;
  auto quit = [&] {
    if (quitting) {
      loop.stop();
      return;
    }
    quitting = true;
    watchdog.stop();  // the loop is about to end: no stall to report
    metrics->stop();
    host->shutdown();
    shutdownTimer = corvel::Clock::system()->schedule(loop.executor(), std::chrono::milliseconds(300),
                                                      [&loop] { loop.stop(); });
  };
  // SIGHUP too: the terminal or the login session went away.
  boost::asio::signal_set signals(loop.context(), SIGINT, SIGTERM, SIGHUP);
  std::function<void()> waitForSignal = [&] {
    signals.async_wait([&](const boost::system::error_code& ec, int signal) {
      if (ec) return;
      log().info("received signal {}, shutting down", signal);
      quit();
      waitForSignal();
    });
  };
  waitForSignal();

  // The desktop interface, once made: before the loop runs, so commands only ever see it set.
  Desktop* presenter = nullptr;
  ControlCommands::Hooks hooks;
  hooks.present = [&presenter] {
    if (presenter == nullptr) return false;
    presenter->present();
    return true;
  };
  hooks.quit = [&quit] { quit(); };
  hooks.updates = updates;
  hooks.desktop = desktopBackend.name + " — " + desktopBackend.reason;
  ControlServer control(loop.executor(), ControlServer::defaultPath(),
                        [commands = std::make_shared<ControlCommands>(host, std::move(hooks))](
                            const std::vector<std::string>& args) { return commands->run(args); });
  if (auto ec = control.start()) {
    if (ec == std::errc::address_in_use) {
      std::cerr << "Another Ambrel Host is already running.\n";
      return 1;
    }
    log().error("no control socket ({}); the command line can't reach this host", ec.message());
  }

  boost::asio::post(loop.executor(), [&] {
    host->start();
    for (const auto& s : SettingsTable::all()) {
      log().info("setting {} = {}", s.key, host->settings().json(s.key)->dump());
    }
    printConnectionDetails(*host);
    host->subscribe([&host](const HostChange& change) {
      if (change.property == HostProperty::listenerState) {
        std::cout << "Listener: " << host->listenerState() << std::endl;
      }
      if (change.property == HostProperty::accessCode) {
        std::cout << "Access code: " << host->accessCode() << std::endl;
      }
    });
    log().info("Ambrel Host {} is running (settings in {})", hostVersion(),
               host->settings().defaults().file().string());
    activity = std::make_unique<HostActivity>(host);
    print->start();
    watchdog.start();
    metrics->start();
    updates->check(false);
  });

  // The interface only where a person sees the display, and not when asked to go without one.
  std::unique_ptr<Desktop> desktop;
  if (desktopFactory && *desktopFactory && !virtualDisplay) {
    desktop = (*desktopFactory)(Desktop::Parts{
        host, loop.executor(), history, overlays,
        [&loop, &quit] { boost::asio::post(loop.executor(), quit); }, updates});
  }
  if (desktop) {
    presenter = desktop.get();
    std::thread hostThread([&] {
      loop.run();
      desktop->stop();
    });
    desktop->run();
    // The interface may end by itself (its display went away): the host ends with it.
    boost::asio::post(loop.executor(), quit);
    hostThread.join();
    desktop.reset();
  } else {
    loop.run();
  }
  control.stop();
  watchdog.stop();
  metrics->stop();
  print->stop();
  activity.reset();
  host.reset();
  log().info("Ambrel Host stopped");
  return 0;
}
}  // namespace

int Application::main(std::span<const std::string_view> args, const DesktopFactory& desktop) {
  // The host started this process to guard its curtain.
  if (args.size() == 3 && args[1] == CurtainGuard::argument) {
    return CurtainGuard::run(std::filesystem::path(args[2]));
  }
  if (args.size() > 1 && args[1] == "--headless") {
    if (args.size() > 2) {
      std::cerr << "ambrel-host: --headless takes no command\n" << kUsage;
      return 64;
    }
    return runHost(nullptr);
  }
  if (args.size() > 1) {
    if (args[1] == "--help" || args[1] == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (args[1] == "--version") {
      std::cout << "ambrel-host " << hostVersion() << "\n";
      return 0;
    }
    if (args[1].starts_with("-")) {
      std::cerr << "ambrel-host: unknown option \"" << args[1] << "\"\n" << kUsage;
      return 64;
    }
    return runCommand(args.subspan(1));
  }
  return runHost(&desktop);
}

}  // namespace ambrel
