#include "Ambrel_Host/controller/SettingsTable.h"

#include <array>
#include <charconv>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "Ambrel_Host/shell/UpdateChecker.h"
#include "Ambrel_Host/shell/UpdateRelease.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/net/EndpointText.h"
#include "CorvelKit/net/StunClient.h"

namespace ambrel {

namespace {

using enum SettingType;
using enum SettingEffect;

constexpr std::array<SettingSpec, 15> kTable = {{
    {Setting::idleTimeoutMinutes, "idleTimeoutMinutes", minutes, "0", false, none},
    {Setting::lockWhenSessionEnds, "lockWhenSessionEnds", flag, "false", false, none},
    {Setting::blankScreen, "blankScreen", flag, "false", false, refreshOverlays},
    {Setting::askBeforeConnecting, "askBeforeConnecting", flag, "true", true, none},
    {Setting::browserAccess, "browserAccess", flag, "false", false, browserServer},
    {Setting::quality, "quality", quality, "balanced", true, streamPreset},
    {Setting::shareClipboard, "shareClipboard", flag, "true", true, none},
    {Setting::shareSound, "shareSound", flag, "true", true, sound},
    {Setting::preferHEVC, "preferHEVC", flag, "true", true, codecPreferences},
    {Setting::preferHDR, "preferHDR", flag, "false", true, codecPreferences},
    {Setting::highFrameRate, "highFrameRate", flag, "false", false, streamPreset},
    // The owner's shared PostgreSQL database; empty for the SQLite file of this machine. Read when
    // the host starts.
    {Setting::cloudDatabaseURL, "cloudDatabaseURL", text, "", false, none},
    // Connections from outside through UDP hole punching (a STUN server learns the public
    // address). Read when the host starts.
    {Setting::natHolePunch, "natHolePunch", flag, "false", false, none},
    // Where the update check reads the newest build; read at each check.
    {Setting::updateFeedURL, "updateFeedURL", text, UpdateChecker::defaultFeedURL, true, none},
    // The STUN server hole punching learns the public address from, as HOST or HOST:PORT. Read
    // when the host starts.
    {Setting::stunServer, "stunServer", text, corvel::net::StunClient::defaultServer, true, none},
}};

// The table is indexed by the enumeration: a row out of place is a build error.
constexpr bool inOrder() {
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (static_cast<std::size_t>(kTable[i].setting) != i) return false;
  }
  return true;
}
static_assert(inOrder());

// Why a text doesn't fit its setting, or nothing.
std::optional<std::string> textProblem(const SettingSpec& s, std::string_view text) {
  if (s.setting == Setting::cloudDatabaseURL && !text.empty()) {
    // The password belongs in the keychain: settings are a plain file and appear in logs.
    switch (corvel::cloud::PostgresCloudDatabase::checkURL(text)) {
      case corvel::cloud::PostgresCloudDatabase::URLCheck::valid:
        break;
      case corvel::cloud::PostgresCloudDatabase::URLCheck::malformed:
        return std::string(s.key) + " takes a PostgreSQL connection URL, or nothing for this computer's own database.";
      case corvel::cloud::PostgresCloudDatabase::URLCheck::holdsPassword:
        return std::string(s.key) + " must not hold the password: keep it in the keychain.";
    }
  }
  if (s.setting == Setting::updateFeedURL && !UpdateRelease::isWebAddress(text)) {
    return std::string(s.key) + " takes an http or https address.";
  }
  if (s.setting == Setting::stunServer &&
      !corvel::net::parseEndpoint(text, corvel::net::StunClient::defaultServerPort)) {
    return std::string(s.key) + " takes a STUN server as HOST or HOST:PORT.";
  }
  return std::nullopt;
}

}  // namespace

std::span<const SettingSpec> SettingsTable::all() { return kTable; }

const SettingSpec& SettingsTable::spec(Setting setting) {
  return kTable[static_cast<std::size_t>(setting)];
}

std::optional<Setting> SettingsTable::named(std::string_view key) {
  for (const auto& s : kTable) {
    if (s.key == key) return s.setting;
  }
  return std::nullopt;
}

corvel::Expected<SettingValue, std::string> SettingsTable::parse(Setting setting,
                                                                  std::string_view text) {
  const auto& s = spec(setting);
  using Failure = corvel::Unexpected<std::string>;
  switch (s.type) {
    case SettingType::flag:
      if (text == "true") return SettingValue(true);
      if (text == "false") return SettingValue(false);
      return Failure{std::string(s.key) + " takes true or false."};
    case SettingType::minutes: {
      int value = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (ec != std::errc{} || end != text.data() + text.size() || value < 0) {
        return Failure{std::string(s.key) + " takes a whole number of minutes, 0 or more."};
      }
      return SettingValue(value);
    }
    case SettingType::quality:
      if (auto q = streamQuality(text)) return SettingValue(*q);
      return Failure{std::string(s.key) + " takes smooth, balanced or sharp."};
    case SettingType::text:
      if (auto problem = textProblem(s, text)) return Failure{*problem};
      return SettingValue(std::string(text));
  }
  return Failure{"Unknown setting."};
}

corvel::Expected<std::pair<Setting, SettingValue>, std::string> SettingsTable::parse(
    std::string_view key, std::string_view text) {
  using Failure = corvel::Unexpected<std::string>;
  auto setting = named(key);
  if (!setting) return Failure{"Unknown setting \"" + std::string(key) + "\"."};
  auto value = parse(*setting, text);
  if (!value) return Failure{value.error()};
  return std::pair{*setting, std::move(*value)};
}

std::optional<std::string> SettingsTable::validate(Setting setting, const SettingValue& value) {
  const auto& s = spec(setting);
  switch (s.type) {
    case SettingType::flag:
      if (std::holds_alternative<bool>(value)) return std::nullopt;
      return std::string(s.key) + " takes true or false.";
    case SettingType::minutes:
      if (auto* m = std::get_if<int>(&value); m && *m >= 0) return std::nullopt;
      return std::string(s.key) + " takes a whole number of minutes, 0 or more.";
    case SettingType::quality:
      if (std::holds_alternative<StreamQuality>(value)) return std::nullopt;
      return std::string(s.key) + " takes smooth, balanced or sharp.";
    case SettingType::text:
      if (auto* t = std::get_if<std::string>(&value)) return textProblem(s, *t);
      return std::string(s.key) + " takes text.";
  }
  return "Unknown setting.";
}

SettingValue SettingsTable::defaultValue(Setting setting) {
  // The table's defaults parse by construction (checked by the tests).
  auto parsed = parse(setting, spec(setting).defaultText);
  if (!parsed) std::abort();
  return *parsed;
}

nlohmann::json SettingsTable::json(const SettingValue& value) {
  return std::visit(
      [](const auto& v) -> nlohmann::json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, StreamQuality>) {
          return std::string(name(v));
        } else {
          return v;
        }
      },
      value);
}

}  // namespace ambrel
