#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "CorvelKit/base/AtomicFile.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel {
namespace {

namespace fs = std::filesystem;

// A writer killed between creating its temporary file and the rename leaves the file behind; the
// next write sweeps such leftovers once they are old, but never a young one (a write under way in
// another process), another file's, or anything not named as the writer names them.
TEST(AtomicFileTest, AWriteSweepsOldLeftoversOfTheSameFileOnly) {
  test::TemporaryFolder folder;
  const auto dir = folder.path();
  const auto old = fs::file_time_type::clock::now() - AtomicFile::staleAfter - std::chrono::minutes(1);
  struct Leftover {
    const char* name;
    bool old;
    bool swept;
  };
  const Leftover leftovers[] = {
      {".settings.json.a1B2c3", true, true},    // an old temporary of this file
      {".settings.json.Zz9Yy8", false, false},  // a young one: maybe a write under way
      {".keychain.json.a1B2c3", true, false},   // another file's
      {".settings.json.toolongname", true, false},
      {"settings.json.a1B2c3", true, false},
  };
  for (const auto& l : leftovers) {
    std::ofstream(dir / l.name) << "half a file";
    if (l.old) fs::last_write_time(dir / l.name, old);
  }
  ASSERT_FALSE(AtomicFile::write(dir / "settings.json", asBytes("{}")));
  EXPECT_EQ(asString(*AtomicFile::read(dir / "settings.json")), "{}");
  for (const auto& l : leftovers) EXPECT_EQ(fs::exists(dir / l.name), !l.swept) << l.name;
}

}  // namespace
}  // namespace corvel
