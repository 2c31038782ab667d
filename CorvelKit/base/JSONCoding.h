#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/base/EncodingError.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/base/UUID.h"

// The shared JSON encoding of every control payload.
//
// A type T takes part by offering two functions that argument-dependent lookup finds:
//
//   void encodeJSON(JSON& out, const T& value);
//   [[nodiscard]] bool decodeJSON(const JSON& in, T& out, DecodingError& error);
//
// Decoders never throw: they return false and fill in the error. The conventions:
//   - object keys are exact field names; unknown keys are ignored;
//   - a missing required key, a value of the wrong JSON type, an integer that is fractional or
//     out of the target type's range, or an unknown enumeration value fails;
//   - optional fields are left out when absent and read as absent when missing or null;
//   - UUIDs are upper-case canonical strings, dates are seconds since 2001-01-01 UTC, bytes are
//     Base64 strings;
//   - enumerations whose cases carry values are objects with exactly one key, the case name,
//     holding an object of the case's values ("_0" for an unlabelled value).
namespace corvel {

using JSON = nlohmann::json;

// "a number", "a string", "null", ... for error messages.
std::string_view jsonValueDescription(const JSON& value);

// ---- Scalars, strings, identifiers, dates, bytes, arrays ----

template <class T>
  requires std::is_arithmetic_v<T>
inline void encodeJSON(JSON& out, T value) {
  out = value;
}
inline void encodeJSON(JSON& out, const std::string& value) { out = value; }
void encodeJSON(JSON& out, const UUID& value);
void encodeJSON(JSON& out, const Date& value);
void encodeJSON(JSON& out, const Bytes& value);  // Base64

template <class T>
void encodeJSON(JSON& out, const std::vector<T>& values) {
  out = JSON::array();
  auto& array = out.get_ref<JSON::array_t&>();
  array.reserve(values.size());
  for (const auto& v : values) encodeJSON(array.emplace_back(), v);
}

[[nodiscard]] bool decodeJSON(const JSON& in, bool& out, DecodingError& error);
[[nodiscard]] bool decodeJSON(const JSON& in, std::string& out, DecodingError& error);
[[nodiscard]] bool decodeJSON(const JSON& in, double& out, DecodingError& error);
[[nodiscard]] bool decodeJSON(const JSON& in, float& out, DecodingError& error);
[[nodiscard]] bool decodeJSON(const JSON& in, UUID& out, DecodingError& error);
[[nodiscard]] bool decodeJSON(const JSON& in, Date& out, DecodingError& error);
[[nodiscard]] bool decodeJSON(const JSON& in, Bytes& out, DecodingError& error);

namespace detail {

template <class T>
constexpr std::string_view integerTypeName() {
  if constexpr (std::is_signed_v<T>) {
    if constexpr (sizeof(T) == 1) return "Int8";
    if constexpr (sizeof(T) == 2) return "Int16";
    if constexpr (sizeof(T) == 4) return "Int32";
    if constexpr (sizeof(T) == 8) return "Int64";
  } else {
    if constexpr (sizeof(T) == 1) return "UInt8";
    if constexpr (sizeof(T) == 2) return "UInt16";
    if constexpr (sizeof(T) == 4) return "UInt32";
    if constexpr (sizeof(T) == 8) return "UInt64";
  }
}

DecodingError numberDoesNotFit(const JSON& in, std::string_view typeName);

}  // namespace detail

// Integers must be integral JSON numbers within the range of T. A number written with a
// fraction or exponent is accepted when its value is a whole number in range (1.0, 1e3).
template <std::integral T>
  requires(!std::same_as<T, bool>)
[[nodiscard]] bool decodeJSON(const JSON& in, T& out, DecodingError& error) {
  switch (in.type()) {
    case JSON::value_t::number_unsigned: {
      auto v = in.get_ref<const JSON::number_unsigned_t&>();
      if (std::in_range<T>(v)) {
        out = static_cast<T>(v);
        return true;
      }
      break;
    }
    case JSON::value_t::number_integer: {
      auto v = in.get_ref<const JSON::number_integer_t&>();
      if (std::in_range<T>(v)) {
        out = static_cast<T>(v);
        return true;
      }
      break;
    }
    case JSON::value_t::number_float: {
      double v = in.get_ref<const JSON::number_float_t&>();
      // [lower, upper) is exactly the range of T: upper is 2^digits, and lower is -2^digits for a
      // signed T, both exact in a double.
      constexpr double upper = static_cast<double>(std::numeric_limits<T>::max() / 2 + 1) * 2.0;
      constexpr double lower = std::is_signed_v<T> ? -upper : 0.0;
      if (std::trunc(v) == v && v >= lower && v < upper) {
        out = static_cast<T>(v);
        return true;
      }
      break;
    }
    default:
      error = DecodingError::typeMismatch(detail::integerTypeName<T>(), jsonValueDescription(in));
      return false;
  }
  error = detail::numberDoesNotFit(in, detail::integerTypeName<T>());
  return false;
}

template <class T>
[[nodiscard]] bool decodeJSON(const JSON& in, std::vector<T>& out, DecodingError& error) {
  if (!in.is_array()) {
    error = DecodingError::typeMismatch("Array", jsonValueDescription(in));
    return false;
  }
  const auto& array = in.get_ref<const JSON::array_t&>();
  std::vector<T> result;
  result.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (!decodeJSON(array[i], result.emplace_back(), error)) {
      error.prependPath(std::to_string(i));
      return false;
    }
  }
  out = std::move(result);
  return true;
}

// ---- Objects ----

// Writes the fields of one JSON object; absent optionals are left out.
class JSONObjectWriter {
 public:
  explicit JSONObjectWriter(JSON& out) : out_(out) { out_ = JSON::object(); }

  template <class T>
  JSONObjectWriter& field(const char* key, const T& value) {
    encodeJSON(out_[key], value);
    return *this;
  }
  template <class T>
  JSONObjectWriter& field(const char* key, const std::optional<T>& value) {
    if (value) encodeJSON(out_[key], *value);
    return *this;
  }

 private:
  JSON& out_;
};

// Reads the fields of one JSON object. The first failure is recorded in the error and every
// later call does nothing, so a decoder is one chain ending in ok():
//
//   return JSONObjectReader(in, error).field("id", out.id).field("name", out.name).ok();
class JSONObjectReader {
 public:
  JSONObjectReader(const JSON& in, DecodingError& error) : in_(in), error_(error) {
    if (!in.is_object()) fail(DecodingError::typeMismatch("Dictionary", jsonValueDescription(in)));
  }

  // A required field: missing or null fails.
  template <class T>
  JSONObjectReader& field(const char* key, T& out) {
    if (!ok_) return *this;
    auto it = in_.find(key);
    if (it == in_.end()) {
      fail(DecodingError::keyNotFound(key));
    } else if (!decodeJSON(*it, out, error_)) {
      ok_ = false;
      error_.prependPath(key);
    }
    return *this;
  }

  // An optional field: missing or null reads as absent.
  template <class T>
  JSONObjectReader& field(const char* key, std::optional<T>& out) {
    if (!ok_) return *this;
    auto it = in_.find(key);
    if (it == in_.end() || it->is_null()) {
      out.reset();
    } else if (!decodeJSON(*it, out.emplace(), error_)) {
      ok_ = false;
      error_.prependPath(key);
    }
    return *this;
  }

  [[nodiscard]] bool ok() const { return ok_; }

 private:
  void fail(DecodingError e) {
    ok_ = false;
    error_ = std::move(e);
  }

  const JSON& in_;
  DecodingError& error_;
  bool ok_ = true;
};

// ---- Enumerations ----

// A string enumeration whose cases are 0..names.size()-1 in the order of `names`.
[[nodiscard]] bool decodeStringEnumeration(const JSON& in, std::span<const std::string_view> names,
                                           std::string_view typeName, std::size_t& index,
                                           DecodingError& error);

// An enumeration whose cases carry values: the object must hold exactly one key that names a
// case (keys naming no case are ignored, like any unknown key). On success `index` is the
// case's position in `names` and `value` the object under that key (an object, possibly empty).
inline constexpr std::string_view kInvalidNumberOfKeys =
    "Invalid number of keys found, expected one.";
[[nodiscard]] bool decodeOneKeyObject(const JSON& in, std::span<const std::string_view> names,
                                      std::size_t& index, const JSON*& value, DecodingError& error);

// ---- Documents ----

struct JSONCoding {
  // Parses JSON text (any top-level value); malformed text is an error, never an exception.
  [[nodiscard]] static Expected<JSON, DecodingError> parse(ByteView text);
  // Compact JSON text. Fails for numbers JSON cannot carry (infinities, NaN). Text that is not
  // valid UTF-8 is written with U+FFFD in place of the bad bytes.
  [[nodiscard]] static Expected<Bytes, EncodingError> serialize(const JSON& document);

  template <class T>
  [[nodiscard]] static Expected<Bytes, EncodingError> encode(const T& value) {
    JSON document;
    encodeJSON(document, value);
    return serialize(document);
  }

  template <class T>
  [[nodiscard]] static Expected<T, DecodingError> decode(ByteView text) {
    auto document = parse(text);
    if (!document) return Unexpected{document.error()};
    return decodeDocument<T>(*document);
  }

  // Reads a parsed document as T.
  template <class T>
  [[nodiscard]] static Expected<T, DecodingError> decodeDocument(const JSON& document) {
    T value{};
    DecodingError error;
    if (!decodeJSON(document, value, error)) return Unexpected{std::move(error)};
    return value;
  }
};

}  // namespace corvel
