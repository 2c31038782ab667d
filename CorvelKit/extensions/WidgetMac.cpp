#include "CorvelKit/extensions/WidgetMac.h"

#include <cctype>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Defaults.h"

namespace corvel::extensions {

Bytes WidgetMac::encode(const std::vector<WidgetMac>& macs) {
  auto json = nlohmann::ordered_json::array();
  for (const auto& mac : macs) json.push_back({{"id", mac.id}, {"name", mac.name}, {"subtitle", mac.subtitle}});
  const auto text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Bytes(text.begin(), text.end());
}

std::optional<std::vector<WidgetMac>> WidgetMac::decode(ByteView data) {
  auto json = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
  if (!json.is_array()) return std::nullopt;
  std::vector<WidgetMac> macs;
  for (const auto& item : json) {
    if (!item.is_object()) return std::nullopt;
    WidgetMac mac;
    for (auto [key, into] : {std::pair{"id", &mac.id}, std::pair{"name", &mac.name}, std::pair{"subtitle", &mac.subtitle}}) {
      auto it = item.find(key);
      if (it == item.end() || !it->is_string()) return std::nullopt;
      *into = it->get<std::string>();
    }
    macs.push_back(std::move(mac));
  }
  return macs;
}

void WidgetMac::save(const std::vector<WidgetMac>& macs, const std::filesystem::path& folder) {
  if (auto suite = SharedSettings::suite(folder)) suite->setData(defaultsKey, encode(macs));
}

std::vector<WidgetMac> WidgetMac::load(const std::filesystem::path& folder) {
  auto suite = SharedSettings::suite(folder);
  if (!suite) return {};
  auto data = suite->data(defaultsKey);
  if (!data) return {};
  return decode(*data).value_or(std::vector<WidgetMac>{});
}

std::string WidgetMac::connectURL() const {
  // Everything but the unreserved characters is escaped, "&" and "=" too, so the value can't
  // end the query item early.
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out = "corvel://connect?id=";
  for (unsigned char c : id) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace corvel::extensions
