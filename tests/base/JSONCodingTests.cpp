#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "CorvelKit/base/JSONCoding.h"

namespace corvel {
namespace {

// Decodes `text` as T and reports the outcome as text, so one table covers many types.
template <class T>
std::function<std::string(std::string_view)> decodesTo() {
  return [](std::string_view text) -> std::string {
    auto result = JSONCoding::decode<T>(asBytes(text));
    if (!result) return "error: " + result.error().message;
    return JSON(*result).dump();
  };
}

TEST(JSONCoding, NumbersAreCheckedAgainstTheTargetType) {
  struct Case {
    std::function<std::string(std::string_view)> decode;
    std::string text;
    std::string expected;  // the value re-printed, or "error: ..." with the message
  };
  const auto u32 = decodesTo<std::uint32_t>();
  const auto u16 = decodesTo<std::uint16_t>();
  const auto i64 = decodesTo<std::int64_t>();
  const auto u64 = decodesTo<std::uint64_t>();
  const auto dbl = decodesTo<double>();
  const auto flt = decodesTo<float>();
  const std::vector<Case> cases = {
      {u32, "0", "0"},
      {u32, "4294967295", "4294967295"},
      {u32, "4294967296", "error: Parsed JSON number <4294967296> does not fit in UInt32."},
      {u32, "-1", "error: Parsed JSON number <-1> does not fit in UInt32."},
      {u32, "1.5", "error: Parsed JSON number <1.5> does not fit in UInt32."},
      {u32, "7.0", "7"},
      {u32, "1e3", "1000"},
      {u32, "4.294967296e9", "error: Parsed JSON number <4294967296.0> does not fit in UInt32."},
      {u32, "\"7\"", "error: Expected to decode UInt32 but found a string instead."},
      {u32, "true", "error: Expected to decode UInt32 but found a boolean instead."},
      {u32, "null", "error: Expected to decode UInt32 but found null instead."},
      {u16, "65535", "65535"},
      {u16, "65536", "error: Parsed JSON number <65536> does not fit in UInt16."},
      {i64, "-9223372036854775808", "-9223372036854775808"},
      {i64, "9223372036854775807", "9223372036854775807"},
      {i64, "9223372036854775808",
       "error: Parsed JSON number <9223372036854775808> does not fit in Int64."},
      {i64, "-9.3e18", "error: Parsed JSON number <-9.3e+18> does not fit in Int64."},
      {u64, "18446744073709551615", "18446744073709551615"},
      {u64, "18446744073709551616",
       "error: Parsed JSON number <1.8446744073709552e+19> does not fit in UInt64."},
      {dbl, "3", "3.0"},
      {dbl, "-2.5e-3", "-0.0025"},
      {dbl, "18446744073709551615", "1.8446744073709552e+19"},
      {dbl, "\"3\"", "error: Expected to decode Double but found a string instead."},
      {flt, "0.5", "0.5"},
      {flt, "1e39", "error: Parsed JSON number <1e+39> does not fit in Float."},
      {decodesTo<bool>(), "1", "error: Expected to decode Bool but found a number instead."},
      {decodesTo<std::string>(), "1", "error: Expected to decode String but found a number instead."},
  };
  for (const auto& c : cases) EXPECT_EQ(c.decode(c.text), c.expected) << c.text;
}

TEST(JSONCoding, MalformedTextIsAnErrorNotAnException) {
  for (std::string text : std::vector<std::string>{"", "{", "{\"a\":1}x", "[1,]", "nul", "\"\xff\"", "{\"a\" 1}",
                           std::string(100000, '[')}) {
    auto result = JSONCoding::decode<std::string>(asBytes(text));
    ASSERT_FALSE(result) << text.substr(0, 20);
    EXPECT_EQ(result.error().message, "The given data was not valid JSON.");
    EXPECT_EQ(result.error().kind, DecodingError::Kind::dataCorrupted);
  }
}

TEST(JSONCoding, IdentifiersDatesAndBytesUseTheirTextForms) {
  auto id = *UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  EXPECT_EQ(asString(*JSONCoding::encode(id)), "\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\"");
  EXPECT_EQ(JSONCoding::decode<UUID>(asBytes("\"e621e1f8-c36c-495a-93fc-0c247a3e6e5f\"")).value(), id);
  EXPECT_FALSE(JSONCoding::decode<UUID>(asBytes("\"e621e1f8c36c495a93fc0c247a3e6e5f\"")));

  EXPECT_EQ(asString(*JSONCoding::encode(Date(12.25))), "12.25");
  EXPECT_EQ(JSONCoding::decode<Date>(asBytes("0")).value(), Date(0));

  EXPECT_EQ(asString(*JSONCoding::encode(toBytes("foob"))), "\"Zm9vYg==\"");
  EXPECT_EQ(JSONCoding::decode<Bytes>(asBytes("\"Zm9vYg==\"")).value(), toBytes("foob"));
  auto bad = JSONCoding::decode<Bytes>(asBytes("\"Zm9vYg\""));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "Encountered Data is not valid Base64.");
}

TEST(JSONCoding, EncodingRefusesNumbersJsonCannotCarry) {
  for (double v : {std::numeric_limits<double>::infinity(), std::nan("")}) {
    auto encoded = JSONCoding::encode(std::vector<double>{1.0, v});
    EXPECT_FALSE(encoded);
  }
  // Text that is not UTF-8 is still sent, with the bad bytes replaced.
  auto encoded = JSONCoding::encode(std::string("a\xff" "b"));
  ASSERT_TRUE(encoded);
  EXPECT_EQ(JSONCoding::decode<std::string>(*encoded).value(), "a\xEF\xBF\xBD" "b");
}

TEST(JSONCoding, ArrayErrorsCarryThePathOfTheFailingElement) {
  auto result = JSONCoding::decode<std::vector<std::uint32_t>>(asBytes("[1, 2, -3]"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().path, "2");
  EXPECT_EQ(result.error().description(),
            "Parsed JSON number <-3> does not fit in UInt32. (at 2)");
}

}  // namespace
}  // namespace corvel
