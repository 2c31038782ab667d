#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Ambrel_Host/controller/ReceivedFile.h"
#include "Ambrel_Host/controller/SettingsTable.h"
#include "Ambrel_Host/controller/TrustedDevice.h"
#include "Ambrel_Host/shell/SessionHistory.h"
#include "Ambrel_Host/shell/UpdateStatus.h"
#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/Hello.h"

namespace ambrel {

class HostController;
class UpdateChecker;

// One connected device as the views show it.
struct ClientRow {
  corvel::UUID id;
  std::string name;
  std::string symbol;
  corvel::protocol::ClientPlatform platform = corvel::protocol::ClientPlatform::unknown;
  std::optional<std::string> fingerprint;
  corvel::Date connectedAt;
  bool authorized = false;
  bool waiting = false;  // the approval question is out
  bool canControl = false;
  bool isScreenSharer = false;
  bool isSupport = false;
};

struct ChatRow {
  corvel::protocol::ChatMessage message;
  bool fromHost = false;
};

// A copy of everything the desktop views show, taken on the controller's executor and handed to
// the interface thread whole, so the views never read the controller across threads.
struct HostSnapshot {
  std::string computerName;
  std::uint16_t port = 0;
  std::string accessCode;
  std::string pairingLink;  // carries the access code: shown as a QR code only
  std::optional<std::string> supportCode;
  std::string supportPairingLink;
  std::string listenerState;
  bool isStreaming = false;
  bool isShuttingDown = false;
  bool screenRecordingGranted = false;
  bool accessibilityGranted = false;
  std::optional<std::string> lastError;
  std::vector<ClientRow> clients;   // in order of arrival
  std::vector<ClientRow> approvals;  // waiting for an answer, the one asked first first
  std::vector<ChatRow> chat;
  int unreadChat = 0;
  std::vector<ReceivedFile> receivedFiles;
  std::map<Setting, SettingValue> settings;
  bool launchAtLogin = false;
  std::vector<TrustedDevice> trustedDevices;
  std::string identityFingerprint;
  bool identityHardwareBacked = false;
  std::optional<std::string> browserAddress;
  std::vector<std::string> lanAddresses;  // this computer's addresses on the local network
  std::string cloudStatus;  // the owner's cloud database, for "From anywhere"
  bool cloudShared = false;  // a shared database rather than this computer's own file
  std::vector<SessionHistory::Entry> history;  // newest first
  UpdateStatus update;  // idle where the host has no update check

  // Admitted devices that aren't only showing their own screen.
  int connectedCount() const;
  bool anyoneConnected() const { return connectedCount() > 0; }
  bool flag(Setting setting) const;
  SettingValue value(Setting setting) const;

  // Reads the controller; on its executor only. `history` and `updates` may be null.
  static HostSnapshot of(HostController& host, const SessionHistory* history,
                         const UpdateChecker* updates = nullptr);
};

}  // namespace ambrel
