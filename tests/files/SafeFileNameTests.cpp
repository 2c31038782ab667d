#include <gtest/gtest.h>

#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/files/SafeFileName.h"

namespace corvel::files {
namespace {

TEST(SafeFileName, OfferedNamesBecomeOnePlainEntry) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"report.pdf", "report.pdf"},
      {"../a:b/c", "c"},
      {" . ", "File"},
      {"x:y", "x-y"},
      {"", "File"},
      {".", "File"},
      {"..", "File"},
      {"/", "-"},
      {"dir/", "dir"},
      {"/etc/passwd", "passwd"},
      {".bashrc", "bashrc"},
      {"a\0b.txt"s, "a-b.txt"},
      {"red\x1b[31m\nname\x7f", "red-[31m-name-"},
      {"\u00A0 notes \u3000\n", "notes"},
      {"caf\u00E9 \u65E5\u672C.txt", "caf\u00E9 \u65E5\u672C.txt"},
  };
  for (const auto& [offered, expected] : cases) {
    EXPECT_EQ(SafeFileName::make(offered), expected) << offered;
  }
}

TEST(SafeFileName, LongNamesAreCutAtACharacterAndKeepTheirExtension) {
  // 200 three-byte characters: 600 bytes.
  std::string base;
  for (int i = 0; i < 200; ++i) base += "\u65E5";
  const auto name = SafeFileName::make(base + ".pdf");
  EXPECT_LE(name.size(), SafeFileName::maximumBytes);
  EXPECT_TRUE(name.ends_with("\u65E5.pdf"));
  EXPECT_EQ(unicode::encodeUTF8(unicode::decodeUTF8(name)), name);  // still valid UTF-8

  const auto second = SafeFileName::numbered(name, 2);
  EXPECT_LE(second.size(), SafeFileName::maximumBytes);
  EXPECT_TRUE(second.ends_with(" 2.pdf")) << second;

  // An extension too long to keep goes with the rest.
  const auto odd = SafeFileName::make("a." + std::string(400, 'x'));
  EXPECT_EQ(odd.size(), SafeFileName::maximumBytes);
  EXPECT_EQ(SafeFileName::numbered(odd, 12).size(), SafeFileName::maximumBytes);
  EXPECT_TRUE(SafeFileName::numbered(odd, 12).ends_with("x 12"));
}

TEST(SafeFileName, NumberedNamesGoBeforeTheExtension) {
  EXPECT_EQ(SafeFileName::numbered("report.pdf", 2), "report 2.pdf");
  EXPECT_EQ(SafeFileName::numbered("notes", 2), "notes 2");
  EXPECT_EQ(SafeFileName::numbered("archive.tar.gz", 3), "archive.tar 3.gz");
}

}  // namespace
}  // namespace corvel::files
