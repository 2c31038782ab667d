#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Ambrel_Host/controller/SettingsTable.h"
#include "Ambrel_Host/controller/TrustedDevice.h"
#include "CorvelKit/base/Defaults.h"

namespace ambrel {

// The host's settings of the SettingsTable, typed, over the settings store: the one place they
// are kept. Every write goes to the store at once; the host applies the change afterwards.
class HostSettings {
 public:
  explicit HostSettings(std::shared_ptr<corvel::Defaults> defaults);

  // The values an absent key reads as, for the keys the table registers.
  void registerDefaults();

  // The value as read: the stored one, else the default. Stored values of another type read
  // leniently (a flag from "yes" or 1); an unknown quality reads as balanced, negative minutes
  // as 0.
  SettingValue value(Setting setting) const;
  bool flag(Setting setting) const;
  int idleTimeoutMinutes() const;  // 0 means never
  StreamQuality quality() const;
  std::string text(Setting setting) const;  // a text setting's value; empty for other types

  // Writes the value; an error sentence, and nothing written, for a value of another type or
  // out of range.
  [[nodiscard]] std::optional<std::string> set(Setting setting, const SettingValue& value);

  // For the command line: the value of the key as JSON, or nothing for an unknown key; and
  // parsing and writing text for it, with an error sentence on failure.
  std::optional<nlohmann::json> json(std::string_view key) const;
  [[nodiscard]] std::optional<std::string> setFromText(std::string_view key, std::string_view text);

  // The trusted devices, stored as the JSON encoding of the list (absent or undecodable: empty).
  std::vector<TrustedDevice> trustedDevices() const;
  void setTrustedDevices(const std::vector<TrustedDevice>& devices);

  corvel::Defaults& defaults() { return *defaults_; }

 private:
  std::shared_ptr<corvel::Defaults> defaults_;
};

}  // namespace ambrel
