#pragma once

#include <optional>

#include "Ambrel_Host/controller/SettingsTable.h"

namespace ambrel {

// The host's observable properties: what the interface shows and hears about when it changes.
enum class HostProperty {
  accessCode,
  iCloudAuthToken,
  listenerState,
  clients,
  displays,
  trustedDevices,
  supportCode,
  lastError,
  isStreaming,
  isShuttingDown,
  approvingClientID,
  screenRecordingGranted,
  accessibilityGranted,
  sendingFiles,
  receivedFiles,
  chat,
  unreadChat,
  launchAtLogin,
  setting,  // one of the settings; HostChange::setting says which
};

struct HostChange {
  HostProperty property;
  std::optional<Setting> setting;  // with HostProperty::setting

  friend bool operator==(const HostChange&, const HostChange&) = default;
};

}  // namespace ambrel
