#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "CorvelKit/cloud/CloudFieldCoding.h"

namespace corvel::cloud {
namespace {

TEST(CloudFieldCoding, EveryValueTypeSurvivesTheRoundTrip) {
  std::map<std::string, CloudValue> fields{
      {"s", std::string("Desk \xC3\xA9")},
      {"i", std::numeric_limits<std::int64_t>::min()},
      {"j", std::numeric_limits<std::int64_t>::max()},
      {"d", 0.1},
      {"t", Date(-978307200.25)},
      {"b", Bytes{0, 0xff, 0x10}},
      {"e", Bytes{}},
      {"l", std::vector<std::string>{"b", "a", ""}},
  };
  auto text = CloudFieldCoding::encode(fields);
  ASSERT_TRUE(text);
  auto back = CloudFieldCoding::decode(*text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, fields);
}

TEST(CloudFieldCoding, ValuesJsonCannotHoldAreRefusedOnTheWayIn) {
  EXPECT_FALSE(CloudFieldCoding::encode({{"d", std::numeric_limits<double>::quiet_NaN()}}));
  EXPECT_FALSE(CloudFieldCoding::encode({{"t", Date(std::numeric_limits<double>::infinity())}}));
  EXPECT_FALSE(CloudFieldCoding::encode({{"s", std::string("\xff\xfe")}}));
}

TEST(CloudFieldCoding, MalformedStoredTextIsRefusedNotThrown) {
  const char* cases[] = {
      "",
      "[]",
      "{",
      "null",
      R"({"a": "bare"})",
      R"({"a": {}})",
      R"({"a": {"string": "x", "int": 1}})",
      R"({"a": {"unknown": 1}})",
      R"({"a": {"string": 5}})",
      R"({"a": {"int": 1.5}})",
      R"({"a": {"int": 9223372036854775808}})",
      R"({"a": {"date": "yesterday"}})",
      R"({"a": {"double": null}})",
      R"({"a": {"bytes": "not base64!"}})",
      R"({"a": {"strings": ["x", 1]}})",
      R"({"a": {"strings": "x"}})",
      R"({"a": {"string": "\ud800"}})",
  };
  for (const char* text : cases) {
    auto result = CloudFieldCoding::decode(text);
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error(), CloudError::corruptRecord) << text;
  }
  std::string deep(100000, '[');
  EXPECT_FALSE(CloudFieldCoding::decode(deep)) << "deep nesting is refused before parsing";
}

}  // namespace
}  // namespace corvel::cloud
