#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Ambrel_Host/capture/StreamQuality.h"
#include "Ambrel_Host/controller/TrustedDevice.h"
#include "CorvelKit/base/Defaults.h"

namespace ambrel {

// The host's settings, typed, over the settings store. Every setter writes its key at once; the
// host controller applies the change afterwards.
class HostSettings {
 public:
  explicit HostSettings(std::shared_ptr<corvel::Defaults> defaults);

  // The values an absent key reads as for the keys that have one registered.
  void registerDefaults();

  int idleTimeoutMinutes() const;  // 0 means never; a negative stored value reads as 0
  void setIdleTimeoutMinutes(int minutes);
  bool lockWhenSessionEnds() const;
  void setLockWhenSessionEnds(bool on);
  bool blankScreen() const;
  void setBlankScreen(bool on);
  bool askBeforeConnecting() const;
  void setAskBeforeConnecting(bool on);
  bool browserAccess() const;
  void setBrowserAccess(bool on);
  StreamQuality quality() const;  // an unknown stored value reads as balanced
  void setQuality(StreamQuality q);
  bool shareClipboard() const;
  void setShareClipboard(bool on);
  bool shareSound() const;
  void setShareSound(bool on);
  bool preferHEVC() const;
  void setPreferHEVC(bool on);
  bool preferHDR() const;
  void setPreferHDR(bool on);
  bool highFrameRate() const;
  void setHighFrameRate(bool on);

  // The trusted devices, stored as the JSON encoding of the list (absent or undecodable: empty).
  std::vector<TrustedDevice> trustedDevices() const;
  void setTrustedDevices(const std::vector<TrustedDevice>& devices);

  // Generic access by key, for the command line: every key of the table above except the
  // trusted-device list, which has its own commands.
  static std::span<const std::string_view> keys();
  // The current value as JSON (after defaults and the read rules above), or nullopt for an
  // unknown key.
  std::optional<nlohmann::json> value(std::string_view key) const;
  // Parses `text` for the key's type ("true"/"false", an integer, a quality name) and stores it.
  // Returns an error sentence, or nothing on success.
  std::optional<std::string> setFromText(std::string_view key, std::string_view text);

  corvel::Defaults& defaults() { return *defaults_; }

 private:
  std::shared_ptr<corvel::Defaults> defaults_;
};

}  // namespace ambrel
