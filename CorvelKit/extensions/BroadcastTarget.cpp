#include "CorvelKit/extensions/BroadcastTarget.h"

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/security/Keychain.h"

namespace corvel::extensions {

namespace {

const std::optional<std::string> kGroup = std::string(SharedSettings::appGroup);

// A text field: absent or null gives nothing, anything but a string is an error.
bool readText(const nlohmann::json& object, const char* key, std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

}  // namespace

Bytes BroadcastTarget::encoded() const {
  nlohmann::ordered_json json;
  json["macName"] = macName;
  if (bonjourName) json["bonjourName"] = *bonjourName;
  if (address) json["address"] = *address;
  json["port"] = port;
  json["deviceName"] = deviceName;
  json["deviceID"] = deviceID;
  if (interfaceName) json["interfaceName"] = *interfaceName;
  const auto text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Bytes(text.begin(), text.end());
}

std::optional<BroadcastTarget> BroadcastTarget::decode(ByteView data) {
  auto json = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  BroadcastTarget target;
  std::optional<std::string> macName, deviceName, deviceID;
  if (!readText(json, "macName", macName) || !readText(json, "deviceName", deviceName) ||
      !readText(json, "deviceID", deviceID) || !readText(json, "bonjourName", target.bonjourName) ||
      !readText(json, "address", target.address) || !readText(json, "interfaceName", target.interfaceName)) {
    return std::nullopt;
  }
  if (!macName || !deviceName || !deviceID) return std::nullopt;
  auto port = json.find("port");
  if (port == json.end() || !port->is_number_integer()) return std::nullopt;
  const auto value = port->get<std::int64_t>();
  if (value < 0 || value > 65535) return std::nullopt;
  target.macName = std::move(*macName);
  target.deviceName = std::move(*deviceName);
  target.deviceID = std::move(*deviceID);
  target.port = static_cast<std::uint16_t>(value);
  return target;
}

void BroadcastTarget::save(const std::filesystem::path& folder) const {
  auto suite = SharedSettings::suite(folder);
  if (!suite) return;
  security::Keychain::remove(keychainAccount, keychainService, kGroup);
  if (!security::Keychain::set(accessCode, keychainAccount, keychainService, false, kGroup)) return;
  suite->setData(defaultsKey, encoded());
}

std::optional<BroadcastTarget> BroadcastTarget::load(const std::filesystem::path& folder) {
  auto suite = SharedSettings::suite(folder);
  if (!suite) return std::nullopt;
  auto data = suite->data(defaultsKey);
  if (!data) return std::nullopt;
  auto target = decode(*data);
  if (!target) return std::nullopt;
  auto code = security::Keychain::get(keychainAccount, keychainService, kGroup);
  if (!code) return std::nullopt;
  target->accessCode = std::move(*code);
  return target;
}

void BroadcastTarget::clear(const std::filesystem::path& folder) {
  if (auto suite = SharedSettings::suite(folder)) suite->remove(defaultsKey);
  security::Keychain::remove(keychainAccount, keychainService, kGroup);
}

}  // namespace corvel::extensions
