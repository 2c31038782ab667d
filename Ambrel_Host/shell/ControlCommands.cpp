#include "Ambrel_Host/shell/ControlCommands.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <sstream>

#include <unistd.h>

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/reach/AnywhereAccess.h"
#include "Ambrel_Host/reach/OwnerSecret.h"
#include "Ambrel_Host/shell/UpdateChecker.h"
#include "Ambrel_Host/shell/UpdateCommand.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/cloud/CloudMacText.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/security/Keychain.h"

namespace ambrel {

namespace {

ControlReply usage(std::string text) { return {ControlCommands::usageError, std::move(text) + "\n"}; }
ControlReply done(std::string text) { return {0, std::move(text) + "\n"}; }
using corvel::unicode::escapeControls;

ControlReply failure(std::string text) { return {ControlCommands::failed, std::move(text) + "\n"}; }

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// A client by its id, or by a prefix of it that only one client has.
std::shared_ptr<RemoteClient> findClient(const HostController& host, const std::string& text) {
  const auto wanted = upper(text);
  if (wanted.empty()) return nullptr;
  std::shared_ptr<RemoteClient> found;
  for (const auto& c : host.clients()) {
    if (c->id().string().starts_with(wanted)) {
      if (found) return nullptr;  // ambiguous
      found = c;
    }
  }
  return found;
}

std::string stateOf(const HostController& host, const RemoteClient& c) {
  auto pending = host.pendingApprovals();
  if (std::any_of(pending.begin(), pending.end(), [&](const auto& p) { return p.get() == &c; })) {
    return "waiting for approval";
  }
  if (c.authorized()) return c.canControl() ? "connected, in control" : "connected, view only";
  if (c.wasAdmitted()) return "ending";
  if (!c.connection()->isSecure()) return "connecting";
  return c.hello() ? "waiting" : "connected, no hello yet";
}

ControlReply settingsOn(HostSettings& settings, const std::vector<std::string>& args,
                        HostController* host) {
  if (args.size() == 1) {
    std::ostringstream out;
    for (const auto& s : SettingsTable::all()) out << s.key << " = " << settings.json(s.key)->dump() << "\n";
    return {0, out.str()};
  }
  const auto& key = args[1];
  if (!settings.json(key)) return usage("Unknown setting \"" + key + "\".");
  if (args.size() == 2) return done(settings.json(key)->dump());
  if (args.size() > 3) return usage("usage: ambrel-host settings [KEY [VALUE]]");
  auto error = host ? host->setFromText(key, args[2]) : settings.setFromText(key, args[2]);
  if (error) return usage(*error);
  return done(key + " = " + settings.json(key)->dump());
}

}  // namespace

ControlCommands::ControlCommands(std::shared_ptr<HostController> host, Hooks hooks)
    : host_(std::move(host)), hooks_(std::move(hooks)) {}

ControlReply ControlCommands::run(const std::vector<std::string>& args) {
  if (args.empty()) return usage("No command given.");
  const auto& command = args[0];
  auto& host = *host_;

  if (command == "code" && args.size() == 1) {
    return done("Your Ambrel access code is " + host.accessCode() + ".");
  }
  if (command == "new-code" && args.size() == 1) {
    host.regenerateAccessCode();
    return done("New access code: " + host.accessCode() + ".");
  }
  if (command == "disconnect-all" && args.size() == 1) {
    int n = host.disconnectEveryone("Disconnected by the host.");
    if (n == 0) return done("Nobody was connected.");
    if (n == 1) return done("Disconnected 1 device.");
    return done("Disconnected " + std::to_string(n) + " devices.");
  }
  if (command == "status" && args.size() == 1) return status();
  if (command == "show" && args.size() == 1) {
    if (!hooks_.present || !hooks_.present()) {
      return done("Ambrel Host is running without its desktop interface.");
    }
    return done("Ambrel Host is already running; its panel is open.");
  }
  if (command == "quit" && args.size() == 1) {
    if (!hooks_.quit) return failure("This host can't be quit from here.");
    hooks_.quit();
    return done("Ambrel Host is quitting.");
  }
  if (command == "approve" || command == "always" || command == "deny") return answer(args);
  if (command == "update") {
    if (!hooks_.updates) return failure("This host doesn't check for updates.");
    if (args.size() == 2 && args[1] == "check") hooks_.updates->setFeedURL(host.settings().text(Setting::updateFeedURL));
    return UpdateCommand::run(*hooks_.updates, args);
  }
  if (command == "support" && args.size() == 2 && (args[1] == "start" || args[1] == "end")) {
    if (args[1] == "start") {
      host.startSupport();
      return done("Support code: " + *host.supportCode() + ".");
    }
    if (!host.supportCode()) return failure("No support session is running.");
    host.endSupport();
    return done("The support session ended.");
  }
  if (command == "trusted" && args.size() == 1) {
    if (host.trustedDevices().empty()) return done("No trusted devices.");
    std::ostringstream out;
    for (const auto& d : host.trustedDevices()) {
      out << d.id << "  " << escapeControls(d.name) << " (" << corvel::protocol::wireName(d.platform) << ")\n";
    }
    return {0, out.str()};
  }
  if (command == "forget" && args.size() == 2) {
    auto wanted = upper(args[1]);
    for (const auto& d : host.trustedDevices()) {
      std::string id = d.id;
      std::string compact;
      std::copy_if(id.begin(), id.end(), std::back_inserter(compact), [](char c) { return c != ' '; });
      std::string compactWanted;
      std::copy_if(wanted.begin(), wanted.end(), std::back_inserter(compactWanted),
                   [](char c) { return c != ' '; });
      if (compact == compactWanted) {
        auto name = escapeControls(d.name);
        host.forgetTrustedDevice(id);
        return done("Forgot " + name + ".");
      }
    }
    return failure("No trusted device has that fingerprint.");
  }
  if (command == "settings" && args.size() <= 3) return settings(args);
  if (command == "send") return send(args);
  if (command == "chat" && args.size() <= 2) {
    if (args.size() == 2) {
      if (args[1].find_first_not_of(" \t\r\n\v\f") == std::string::npos) return usage("Nothing to send.");
      if (auto error = host.chatLog().sendChat(args[1])) return failure(*error);
      return done("Sent.");
    }
    // Showing the chat reads it.
    host.chatLog().markChatRead();
    if (host.chat().empty()) return done("No messages.");
    std::ostringstream out;
    for (const auto& m : host.chat()) out << escapeControls(m.sender) << ": " << escapeControls(m.text) << "\n";
    return {0, out.str()};
  }
  if (command == "cloud") return cloud(args);
  if (command == "received" && args.size() == 1) {
    if (host.receivedFiles().empty()) return done("No files received.");
    std::ostringstream out;
    for (const auto& f : host.receivedFiles()) out << f.url.string() << "  from " << escapeControls(f.from) << "\n";
    return {0, out.str()};
  }
  return usage("Unknown command \"" + command + "\".");
}

ControlReply ControlCommands::status() {
  auto& host = *host_;
  std::ostringstream out;
  out << "Listener: " << host.listenerState() << "\n";
  if (!hooks_.desktop.empty()) out << "Desktop: " << hooks_.desktop << "\n";
  if (host.settings().flag(Setting::browserAccess)) {
    auto address = host.browserAddress();
    auto problem = host.context().services.browser->problem();
    out << "Browser access: "
        << (address ? *address : problem ? "off (" + *problem + ")" : std::string("not listening"))
        << "\n";
  }
  if (auto sound = host.context().services.streams->soundStatus(); !sound.empty()) out << sound << "\n";
  if (host.supportCode()) out << "Support code: " << *host.supportCode() << "\n";
  if (host.lastError()) out << "Last error: " << *host.lastError() << "\n";
  if (auto* anywhere = host.anywhere()) out << "Cloud: " << anywhere->status() << "\n";
  for (const auto& label : host.sendingFiles()) out << "Sending " << escapeControls(label) << "\n";
  if (host.unreadChat() > 0) out << "Unread chat messages: " << host.unreadChat() << "\n";
  if (host.clients().empty()) {
    out << "No devices connected.\n";
  } else {
    out << "Devices:\n";
    for (const auto& c : host.clients()) {
      out << "  " << c->id().string() << "  " << escapeControls(c->displayName()) << "  " << c->address() << "  "
          << stateOf(host, *c) << (c->isSupport() ? ", support" : "") << "\n";
    }
  }
  return {0, out.str()};
}

ControlReply ControlCommands::answer(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage("usage: ambrel-host " + args[0] + " ID");
  auto client = findClient(*host_, args[1]);
  if (!client) return failure("No device with the id " + args[1] + " is connected.");
  auto answerFor = args[0] == "approve"  ? ApprovalAnswer::allow
                   : args[0] == "always" ? ApprovalAnswer::alwaysAllow
                                         : ApprovalAnswer::deny;
  const auto name = escapeControls(client->displayName());
  if (!host_->answerApproval(client->id(), answerFor)) {
    return failure(name + " isn't waiting for approval.");
  }
  switch (answerFor) {
    case ApprovalAnswer::allow: return done("Allowed " + name + ".");
    case ApprovalAnswer::alwaysAllow: return done("Allowed " + name + " from now on.");
    case ApprovalAnswer::deny: return done("Denied " + name + ".");
  }
  return done("");
}

// The headless "Send Files…": the files to one client or to every admitted one.
ControlReply ControlCommands::send(const std::vector<std::string>& args) {
  std::vector<std::filesystem::path> files;
  std::optional<std::string> to;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--to" && i + 1 < args.size()) {
      to = args[++i];
    } else {
      files.emplace_back(args[i]);
    }
  }
  if (files.empty()) return usage("usage: ambrel-host send FILE... [--to ID]");
  for (const auto& f : files) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(f, ec) || ::access(f.c_str(), R_OK) != 0) {
      return failure("Can't read " + f.string() + ".");
    }
  }
  const auto what = files.size() == 1 ? files.front().filename().string()
                                      : std::to_string(files.size()) + " files";
  if (to) {
    auto client = findClient(*host_, *to);
    if (!client || !client->authorized()) return failure("No device with the id " + *to + " is connected.");
    host_->files().send(files, client);
    return done("Sending " + what + " to " + escapeControls(client->displayName()) + ".");
  }
  const int n = host_->files().sendToEveryone(files);
  if (n == 0) return failure("No devices are connected.");
  return done("Sending " + what + " to " + (n == 1 ? std::string("1 device") : std::to_string(n) + " devices") + ".");
}

namespace {

std::string accountText(corvel::cloud::AccountStatus status) {
  using corvel::cloud::AccountStatus;
  switch (status) {
    case AccountStatus::available: return "Signed in";
    case AccountStatus::restricted: return "Restricted";
    case AccountStatus::noAccount: return "Not signed in";
    case AccountStatus::temporarilyUnavailable: return "Temporarily unavailable";
    case AccountStatus::undetermined: break;
  }
  return "Unknown";
}

constexpr const char* kCloudUsage = "usage: ambrel-host cloud [secret | forget-secret | password]";

// `cloud secret TEXT` and `cloud password TEXT` as the command line sends them (having read TEXT
// from standard input); the reply never repeats the secret.
std::optional<ControlReply> secretCommand(const std::vector<std::string>& args,
                                          const std::function<bool(std::optional<std::string>)>& keep) {
  if (args.size() == 3 && args[1] == "secret") {
    auto secret = OwnerSecret::normalized(args[2]);
    if (!secret) return usage("The owner secret is empty.");
    if (!keep(std::move(secret))) return failure("The keychain did not keep the owner secret.");
    return done("Owner secret saved. The access code, identity and owner token are published "
                "sealed with it.");
  }
  if (args.size() == 3 && args[1] == "password") {
    // Read whenever a connection to the shared database is opened.
    if (args[2].empty()) return usage("The database password is empty.");
    if (!corvel::security::Keychain::set(args[2], corvel::cloud::PostgresCloudDatabase::passwordAccount,
                                         corvel::cloud::PostgresCloudDatabase::passwordService, false)) {
      return failure("The keychain did not keep the database password.");
    }
    return done("Database password saved.");
  }
  if (args.size() == 2 && args[1] == "forget-secret") {
    (void)keep(std::nullopt);
    return done("Owner secret removed. Only the plain fields are published.");
  }
  return std::nullopt;
}

}  // namespace

ControlReply ControlCommands::cloud(const std::vector<std::string>& args) {
  if (auto reply = secretCommand(args, [this](std::optional<std::string> secret) {
        return host_->setOwnerSecret(std::move(secret));
      })) {
    return *reply;
  }
  if (args.size() != 1) return usage(kCloudUsage);
  auto* anywhere = host_->anywhere();
  if (anywhere == nullptr) return failure("This host has no cloud database.");
  const auto url = host_->settings().text(Setting::cloudDatabaseURL);
  std::ostringstream out;
  out << "Database: " << (url.empty() ? std::string("this computer's own file") : escapeControls(url)) << "\n"
      << "Account: " << accountText(anywhere->accountStatus()) << " (account status "
      << static_cast<int>(anywhere->accountStatus()) << ")\n"
      << "Status: " << anywhere->status() << "\n"
      << "Owner secret: "
      << (anywhere->hasOwnerKey() ? "set" : "not set (the record carries the plain fields only)") << "\n";
  if (const auto& mac = anywhere->published()) {
    out << "Published record:\n";
    const auto now = corvel::Date::fromTimePoint(host_->context().clock->wallNow());
    for (const auto& line : corvel::cloud::CloudMacText::lines(*mac, now, /*showSecrets=*/false)) {
      out << "  " << line << "\n";
    }
  } else {
    out << "Published record: none yet\n";
  }
  out << "Last error: " << (anywhere->lastError() ? escapeControls(*anywhere->lastError()) : std::string("none"))
      << "\n";
  return {0, out.str()};
}

ControlReply ControlCommands::cloudOffline(const std::vector<std::string>& args) {
  auto reply = secretCommand(args, [](std::optional<std::string> secret) {
    if (!secret) {
      OwnerSecret::remove();
      return true;
    }
    return OwnerSecret::save(*secret);
  });
  return reply ? *reply : failure("Ambrel Host isn't running.");
}

ControlReply ControlCommands::settings(const std::vector<std::string>& args) {
  return settingsOn(host_->settings(), args, host_.get());
}

ControlReply ControlCommands::settingsOffline(const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "settings" || args.size() > 3) {
    return usage("usage: ambrel-host settings [KEY [VALUE]]");
  }
  HostSettings settings(std::make_shared<corvel::Defaults>(corvel::Defaults::standardFile()));
  settings.registerDefaults();
  return settingsOn(settings, args, nullptr);
}

}  // namespace ambrel
