#include "Ambrel_Host/ui/HostSnapshot.h"

#include <algorithm>

#include "Ambrel_Host/browser/LocalAddresses.h"
#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/reach/AnywhereAccess.h"
#include "Ambrel_Host/shell/UpdateChecker.h"
#include "CorvelKit/net/Pairing.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace ambrel {

namespace {

ClientRow rowOf(const RemoteClient& c, bool waiting) {
  ClientRow row;
  row.id = c.id();
  row.name = c.displayName();
  row.symbol = c.symbolName();
  if (auto hello = c.hello()) row.platform = hello->platform;
  row.fingerprint = c.peerFingerprint();
  row.connectedAt = c.connectedAt();
  row.authorized = c.authorized();
  row.waiting = waiting;
  row.canControl = c.canControl();
  row.isScreenSharer = c.isScreenSharer();
  row.isSupport = c.isSupport();
  return row;
}

std::string linkFor(const HostController& host, const std::string& code) {
  return corvel::net::Pairing::url({host.computerName(), std::nullopt, host.port(), code});
}

}  // namespace

int HostSnapshot::connectedCount() const {
  return static_cast<int>(std::count_if(clients.begin(), clients.end(), [](const ClientRow& c) {
    return c.authorized && !c.isScreenSharer;
  }));
}

bool HostSnapshot::flag(Setting setting) const {
  auto v = value(setting);
  const bool* on = std::get_if<bool>(&v);
  return on != nullptr && *on;
}

SettingValue HostSnapshot::value(Setting setting) const {
  auto it = settings.find(setting);
  return it != settings.end() ? it->second : SettingsTable::defaultValue(setting);
}

HostSnapshot HostSnapshot::of(HostController& host, const SessionHistory* history, const UpdateChecker* updates) {
  HostSnapshot s;
  s.computerName = host.computerName();
  s.port = host.port();
  s.accessCode = host.accessCode();
  s.pairingLink = linkFor(host, host.accessCode());
  s.supportCode = host.supportCode();
  if (s.supportCode) s.supportPairingLink = linkFor(host, *s.supportCode);
  s.listenerState = host.listenerState();
  s.isStreaming = host.isStreaming();
  s.isShuttingDown = host.isShuttingDown();
  s.screenRecordingGranted = host.screenRecordingGranted();
  s.accessibilityGranted = host.accessibilityGranted();
  s.lastError = host.lastError();

  const auto pending = host.pendingApprovals();
  for (const auto& c : pending) s.approvals.push_back(rowOf(*c, true));
  for (const auto& c : host.clients()) {
    const bool waiting = std::find(pending.begin(), pending.end(), c) != pending.end();
    s.clients.push_back(rowOf(*c, waiting));
  }

  const auto& chat = host.chat();
  s.chat.reserve(chat.size());
  for (std::size_t i = 0; i < chat.size(); ++i) {
    s.chat.push_back({chat[i], host.chatLog().isFromHost(i)});
  }
  s.unreadChat = host.unreadChat();
  s.receivedFiles = host.receivedFiles();

  for (const auto& spec : SettingsTable::all()) {
    s.settings.emplace(spec.setting, host.settings().value(spec.setting));
  }
  s.launchAtLogin = host.launchAtLogin();
  s.trustedDevices = host.trustedDevices();
  const auto& identity = host.identity();
  s.identityFingerprint = identity.fingerprint();
  s.identityHardwareBacked = identity.isHardwareBacked();
  s.browserAddress = host.browserAddress();
  s.lanAddresses = localIPv4Addresses();
  for (auto& a : globalIPv6Addresses()) s.lanAddresses.push_back(std::move(a));
  if (const auto* anywhere = host.anywhere()) {
    s.cloudStatus = anywhere->status();
  } else {
    s.cloudStatus = "Off";
  }
  s.cloudShared = !host.settings().text(Setting::cloudDatabaseURL).empty();
  if (history) s.history = history->entries();
  if (updates) s.update = updates->status();
  return s;
}

}  // namespace ambrel
