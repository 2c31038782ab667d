#include "CorvelKit/base/JSONCoding.h"

#include <limits>

#include <fmt/format.h>

#include "CorvelKit/base/Base64.h"

namespace corvel {

std::string_view jsonValueDescription(const JSON& value) {
  switch (value.type()) {
    case JSON::value_t::null:
      return "null";
    case JSON::value_t::boolean:
      return "a boolean";
    case JSON::value_t::number_integer:
    case JSON::value_t::number_unsigned:
    case JSON::value_t::number_float:
      return "a number";
    case JSON::value_t::string:
      return "a string";
    case JSON::value_t::array:
      return "an array";
    case JSON::value_t::object:
      return "a dictionary";
    case JSON::value_t::binary:
    case JSON::value_t::discarded:
      break;
  }
  return "an unsupported value";
}

void encodeJSON(JSON& out, const UUID& value) { out = value.string(); }
void encodeJSON(JSON& out, const Date& value) { out = value.secondsSinceReferenceDate(); }
void encodeJSON(JSON& out, const Bytes& value) { out = Base64::encode(value); }

bool decodeJSON(const JSON& in, bool& out, DecodingError& error) {
  if (!in.is_boolean()) {
    error = DecodingError::typeMismatch("Bool", jsonValueDescription(in));
    return false;
  }
  out = in.get_ref<const JSON::boolean_t&>();
  return true;
}

bool decodeJSON(const JSON& in, std::string& out, DecodingError& error) {
  if (!in.is_string()) {
    error = DecodingError::typeMismatch("String", jsonValueDescription(in));
    return false;
  }
  out = in.get_ref<const JSON::string_t&>();
  return true;
}

namespace {

// Any JSON number, integer or not.
bool numberValue(const JSON& in, double& out) {
  switch (in.type()) {
    case JSON::value_t::number_float:
      out = in.get_ref<const JSON::number_float_t&>();
      return true;
    case JSON::value_t::number_integer:
      out = static_cast<double>(in.get_ref<const JSON::number_integer_t&>());
      return true;
    case JSON::value_t::number_unsigned:
      out = static_cast<double>(in.get_ref<const JSON::number_unsigned_t&>());
      return true;
    default:
      return false;
  }
}

}  // namespace

bool decodeJSON(const JSON& in, double& out, DecodingError& error) {
  if (!numberValue(in, out)) {
    error = DecodingError::typeMismatch("Double", jsonValueDescription(in));
    return false;
  }
  return true;
}

bool decodeJSON(const JSON& in, float& out, DecodingError& error) {
  double v;
  if (!numberValue(in, v)) {
    error = DecodingError::typeMismatch("Float", jsonValueDescription(in));
    return false;
  }
  if (std::abs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
    error = detail::numberDoesNotFit(in, "Float");
    return false;
  }
  out = static_cast<float>(v);
  return true;
}

bool decodeJSON(const JSON& in, UUID& out, DecodingError& error) {
  std::string text;
  if (!decodeJSON(in, text, error)) return false;
  auto id = UUID::parse(text);
  if (!id) {
    error = DecodingError::dataCorrupted("Attempted to decode UUID from invalid UUID string.");
    return false;
  }
  out = *id;
  return true;
}

bool decodeJSON(const JSON& in, Date& out, DecodingError& error) {
  double seconds;
  if (!numberValue(in, seconds)) {
    error = DecodingError::typeMismatch("Date", jsonValueDescription(in));
    return false;
  }
  out = Date(seconds);
  return true;
}

bool decodeJSON(const JSON& in, Bytes& out, DecodingError& error) {
  if (!in.is_string()) {
    error = DecodingError::typeMismatch("Data", jsonValueDescription(in));
    return false;
  }
  auto bytes = Base64::decode(in.get_ref<const JSON::string_t&>());
  if (!bytes) {
    error = DecodingError::dataCorrupted("Encountered Data is not valid Base64.");
    return false;
  }
  out = std::move(*bytes);
  return true;
}

DecodingError detail::numberDoesNotFit(const JSON& in, std::string_view typeName) {
  // Printing a number never throws (no strings involved).
  return DecodingError::dataCorrupted(
      fmt::format("Parsed JSON number <{}> does not fit in {}.", in.dump(), typeName));
}

bool decodeStringEnumeration(const JSON& in, std::span<const std::string_view> names,
                             std::string_view typeName, std::size_t& index,
                             DecodingError& error) {
  if (!in.is_string()) {
    error = DecodingError::typeMismatch("String", jsonValueDescription(in));
    return false;
  }
  const auto& text = in.get_ref<const JSON::string_t&>();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == text) {
      index = i;
      return true;
    }
  }
  // The offending text is peer data: describe it by length only.
  error = DecodingError::dataCorrupted(fmt::format(
      "Cannot initialize {} from invalid String value ({} bytes).", typeName, text.size()));
  return false;
}

bool decodeOneKeyObject(const JSON& in, std::span<const std::string_view> names,
                        std::size_t& index, const JSON*& value, DecodingError& error) {
  if (!in.is_object()) {
    error = DecodingError::typeMismatch("Dictionary", jsonValueDescription(in));
    return false;
  }
  std::size_t found = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto it = in.find(names[i]);
    if (it == in.end()) continue;
    if (++found > 1) break;
    index = i;
    value = &*it;
  }
  if (found != 1) {
    error = DecodingError::dataCorrupted(std::string(kInvalidNumberOfKeys));
    return false;
  }
  if (!value->is_object()) {
    error = DecodingError::typeMismatch("Dictionary", jsonValueDescription(*value));
    error.prependPath(names[index]);
    return false;
  }
  return true;
}

Expected<JSON, DecodingError> JSONCoding::parse(ByteView text) {
  // With exceptions disabled the parser reports malformed text as a "discarded" value.
  JSON document = JSON::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    return Unexpected{DecodingError::dataCorrupted("The given data was not valid JSON.")};
  }
  return document;
}

namespace {

bool allNumbersFinite(const JSON& value) {
  switch (value.type()) {
    case JSON::value_t::number_float:
      return std::isfinite(value.get_ref<const JSON::number_float_t&>());
    case JSON::value_t::array:
      for (const auto& element : value.get_ref<const JSON::array_t&>()) {
        if (!allNumbersFinite(element)) return false;
      }
      return true;
    case JSON::value_t::object:
      for (const auto& [key, element] : value.get_ref<const JSON::object_t&>()) {
        if (!allNumbersFinite(element)) return false;
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

Expected<Bytes, EncodingError> JSONCoding::serialize(const JSON& document) {
  if (!allNumbersFinite(document)) {
    return Unexpected{EncodingError{"Unable to encode a non-finite number as JSON."}};
  }
  std::string text = document.dump(-1, ' ', false, JSON::error_handler_t::replace);
  return Bytes(text.begin(), text.end());
}

}  // namespace corvel
