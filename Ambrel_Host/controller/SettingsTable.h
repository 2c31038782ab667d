#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "Ambrel_Host/capture/StreamQuality.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The host's settings. Their keys in the settings store equal their names.
enum class Setting {
  idleTimeoutMinutes,
  lockWhenSessionEnds,
  blankScreen,
  askBeforeConnecting,
  browserAccess,
  quality,
  shareClipboard,
  shareSound,
  preferHEVC,
  preferHDR,
  highFrameRate,
  cloudDatabaseURL,
  natHolePunch,
  updateFeedURL,
  stunServer,
};

// How a setting's value is written and checked.
enum class SettingType {
  flag,     // true or false
  minutes,  // a whole number of minutes, 0 or more
  quality,  // "smooth", "balanced" or "sharp"
  text,     // any text, checked by the setting's own rule
};

// What changing a setting does at once; settings with no effect are read where they are needed
// (the next hello, the supervision loop, the end of a session).
enum class SettingEffect {
  none,
  refreshOverlays,       // the curtain shows or hides
  browserServer,         // the browser server starts with the current code, or stops
  streamPreset,          // running pipelines take the preset's bit rate and frame rate
  codecPreferences,      // running pipelines are rebuilt with the new codec choice
  sound,                 // sound capture starts or stops for the running pipelines
};

using SettingValue = std::variant<bool, int, StreamQuality, std::string>;

struct SettingSpec {
  Setting setting;
  std::string_view key;
  SettingType type;
  std::string_view defaultText;  // the value an absent key reads as, in the command line's form
  bool registered;               // the default is registered in the store (else only read so)
  SettingEffect effect;
};

// The one table of settings: read by HostSettings, the control socket's `settings` command and
// the settings views.
struct SettingsTable {
  static std::span<const SettingSpec> all();
  static const SettingSpec& spec(Setting setting);
  static std::optional<Setting> named(std::string_view key);

  // Parses `text` as the command line gives it ("true"/"false", a number of minutes, a quality
  // name); an error sentence when it doesn't fit the setting.
  static corvel::Expected<SettingValue, std::string> parse(Setting setting, std::string_view text);
  // The same for a setting named by its key; an unknown key is an error too.
  static corvel::Expected<std::pair<Setting, SettingValue>, std::string> parse(std::string_view key,
                                                                               std::string_view text);
  // Whether `value` has the setting's type and range; an error sentence otherwise.
  static std::optional<std::string> validate(Setting setting, const SettingValue& value);
  static SettingValue defaultValue(Setting setting);
  // How the store keeps a value (quality as its name).
  static nlohmann::json json(const SettingValue& value);
};

}  // namespace ambrel
