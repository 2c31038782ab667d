#include "CorvelKit/cloud/CloudFieldCoding.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Base64.h"

namespace corvel::cloud {

namespace {

using nlohmann::json;

// Nesting beyond this is refused before parsing: a field object is two levels deep, a list three.
constexpr int kMaxDepth = 8;

bool nestingWithin(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

std::optional<CloudValue> decodeValue(const json& tagged) {
  if (!tagged.is_object() || tagged.size() != 1) return std::nullopt;
  auto only = tagged.begin();
  const std::string& type = only.key();
  const json& v = only.value();
  if (type == "string") {
    if (!v.is_string()) return std::nullopt;
    return CloudValue{v.get<std::string>()};
  }
  if (type == "int") {
    if (v.is_number_unsigned() &&
        v.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    if (v.is_number_integer()) return CloudValue{v.get<std::int64_t>()};
    return std::nullopt;
  }
  if (type == "double" || type == "date") {
    if (!v.is_number()) return std::nullopt;
    double d = v.get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    if (type == "date") return CloudValue{Date(d)};
    return CloudValue{d};
  }
  if (type == "bytes") {
    if (!v.is_string()) return std::nullopt;
    auto bytes = Base64::decode(v.get_ref<const std::string&>());
    if (!bytes) return std::nullopt;
    return CloudValue{std::move(*bytes)};
  }
  if (type == "strings") {
    if (!v.is_array()) return std::nullopt;
    std::vector<std::string> list;
    list.reserve(v.size());
    for (const auto& item : v) {
      if (!item.is_string()) return std::nullopt;
      list.push_back(item.get<std::string>());
    }
    return CloudValue{std::move(list)};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CloudFieldCoding::encode(const std::map<std::string, CloudValue>& fields) {
  json object = json::object();
  for (const auto& [key, value] : fields) {
    bool finite = true;
    json tagged = std::visit(
        [&finite](const auto& v) -> json {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string>) {
            return {{"string", v}};
          } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return {{"int", v}};
          } else if constexpr (std::is_same_v<T, double>) {
            finite = std::isfinite(v);
            return {{"double", v}};
          } else if constexpr (std::is_same_v<T, Date>) {
            finite = std::isfinite(v.secondsSinceReferenceDate());
            return {{"date", v.secondsSinceReferenceDate()}};
          } else if constexpr (std::is_same_v<T, Bytes>) {
            return {{"bytes", Base64::encode(v)}};
          } else {
            return {{"strings", v}};
          }
        },
        value);
    if (!finite) return std::nullopt;
    object[key] = std::move(tagged);
  }
  try {
    return object.dump();
  } catch (const json::type_error&) {
    return std::nullopt;  // text that is not UTF-8
  }
}

Expected<std::map<std::string, CloudValue>, std::error_code> CloudFieldCoding::decode(
    std::string_view text) {
  const std::error_code corrupt = CloudError::corruptRecord;
  if (!nestingWithin(text, kMaxDepth)) return Unexpected{corrupt};
  json object = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return Unexpected{corrupt};
  std::map<std::string, CloudValue> fields;
  for (const auto& [key, tagged] : object.items()) {
    auto value = decodeValue(tagged);
    if (!value) return Unexpected{corrupt};
    fields.emplace(key, std::move(*value));
  }
  return fields;
}

}  // namespace corvel::cloud
