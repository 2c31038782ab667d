#include "Ambrel_Host/controller/HostSettings.h"

#include <algorithm>
#include <limits>

#include "CorvelKit/base/JSONCoding.h"

namespace ambrel {

HostSettings::HostSettings(std::shared_ptr<corvel::Defaults> defaults)
    : defaults_(std::move(defaults)) {}

void HostSettings::registerDefaults() {
  auto values = nlohmann::json::object();
  for (const auto& s : SettingsTable::all()) {
    if (s.registered) values[std::string(s.key)] = SettingsTable::json(SettingsTable::defaultValue(s.setting));
  }
  defaults_->registerDefaults(values);
}

SettingValue HostSettings::value(Setting setting) const {
  const auto& s = SettingsTable::spec(setting);
  if (!defaults_->object(s.key)) return SettingsTable::defaultValue(setting);
  switch (s.type) {
    case SettingType::flag:
      return defaults_->boolean(s.key);
    case SettingType::minutes:
      return static_cast<int>(
          std::clamp<std::int64_t>(defaults_->integer(s.key), 0, std::numeric_limits<int>::max()));
    case SettingType::quality: {
      auto raw = defaults_->string(s.key);
      return raw ? streamQuality(*raw).value_or(StreamQuality::balanced) : StreamQuality::balanced;
    }
    case SettingType::text:
      return defaults_->string(s.key).value_or(std::string());
  }
  return SettingsTable::defaultValue(setting);
}

bool HostSettings::flag(Setting setting) const {
  auto v = value(setting);
  auto* b = std::get_if<bool>(&v);
  return b != nullptr && *b;
}

int HostSettings::idleTimeoutMinutes() const {
  return std::get<int>(value(Setting::idleTimeoutMinutes));
}

StreamQuality HostSettings::quality() const {
  return std::get<StreamQuality>(value(Setting::quality));
}

std::string HostSettings::text(Setting setting) const {
  auto v = value(setting);
  auto* t = std::get_if<std::string>(&v);
  return t != nullptr ? *t : std::string();
}

std::optional<std::string> HostSettings::set(Setting setting, const SettingValue& value) {
  if (auto error = SettingsTable::validate(setting, value)) return error;
  defaults_->set(SettingsTable::spec(setting).key, SettingsTable::json(value));
  return std::nullopt;
}

std::optional<nlohmann::json> HostSettings::json(std::string_view key) const {
  auto setting = SettingsTable::named(key);
  if (!setting) return std::nullopt;
  return SettingsTable::json(value(*setting));
}

std::optional<std::string> HostSettings::setFromText(std::string_view key, std::string_view text) {
  auto parsed = SettingsTable::parse(key, text);
  if (!parsed) return parsed.error();
  return set(parsed->first, parsed->second);
}

std::vector<TrustedDevice> HostSettings::trustedDevices() const {
  auto data = defaults_->data("trustedDevices");
  if (!data) return {};
  auto decoded = corvel::JSONCoding::decode<std::vector<TrustedDevice>>(*data);
  return decoded ? std::move(*decoded) : std::vector<TrustedDevice>{};
}

void HostSettings::setTrustedDevices(const std::vector<TrustedDevice>& devices) {
  auto encoded = corvel::JSONCoding::encode(devices);
  if (encoded) defaults_->setData("trustedDevices", *encoded);
}

}  // namespace ambrel
