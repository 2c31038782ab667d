#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "Ambrel_Host/shell/AutostartEntry.h"
#include "Ambrel_Host/shell/LogExport.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(LogExportTest, JoinsTheRotatedFilesOldestFirst) {
  corvel::test::TemporaryFolder folder;
  const auto log = folder.path() / "ambrel-host.log";
  std::ofstream(folder.path() / "ambrel-host.3.log") << "oldest\n";
  std::ofstream(folder.path() / "ambrel-host.2.log");  // empty: nothing to add
  std::ofstream(folder.path() / "ambrel-host.1.log") << "older\n";
  std::ofstream(log) << "newest\n";
  const auto out = folder.path() / LogExport::fileName;

  EXPECT_FALSE(LogExport::write(log, out));
  EXPECT_EQ(read(out), "oldest\nolder\nnewest\n");
  EXPECT_FALSE(fs::exists(out.string() + ".part"));

  // Nowhere to write: said so, and nothing left behind.
  auto error = LogExport::write(log, folder.path() / "missing" / "log.txt");
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, "Couldn't write log.txt.");
}

TEST(AutostartEntryTest, TheEntryRunsThisProgramAndGoesWhenTurnedOff) {
  corvel::test::TemporaryFolder folder;
  AutostartEntry entry(folder.path() / "autostart" / "ambrel-host.desktop", "/opt/my $apps/ambrel-host");
  EXPECT_FALSE(entry.isEnabled());
  EXPECT_FALSE(entry.setEnabled(true));
  EXPECT_TRUE(entry.isEnabled());
  const auto text = read(entry.path());
  EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n")) << text;
  EXPECT_NE(text.find("Exec=\"/opt/my \\\\$apps/ambrel-host\"\n"), std::string::npos) << text;
  EXPECT_FALSE(entry.setEnabled(false));
  EXPECT_FALSE(entry.isEnabled());
  // Turning off what is off is fine.
  EXPECT_FALSE(entry.setEnabled(false));
}

}  // namespace
}  // namespace ambrel
