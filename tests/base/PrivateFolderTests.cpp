#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <sys/stat.h>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/FileLock.h"
#include "CorvelKit/base/PrivateFolder.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel {
namespace {

mode_t modeOf(const std::filesystem::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st.st_mode & 0777;
}

// Runs with a permissive umask, as a careless parent process might leave it.
struct OpenUmask {
  OpenUmask() : old(::umask(0)) {}
  ~OpenUmask() { ::umask(old); }
  mode_t old;
};

TEST(PrivateFolderTest, CreatedFoldersArePrivateWhateverTheUmask) {
  test::TemporaryFolder folder;
  OpenUmask open;
  const auto nested = folder.path() / "a" / "b" / "c";
  ASSERT_FALSE(PrivateFolder::create(nested));
  for (auto p : {folder.path() / "a", folder.path() / "a" / "b", nested}) EXPECT_EQ(modeOf(p), 0700u) << p;
  // The atomic-file helper makes its folders the same way.
  const auto file = folder.path() / "x" / "y" / "settings.json";
  ASSERT_FALSE(AtomicFile::write(file, asBytes("{}"), 0600));
  EXPECT_EQ(modeOf(folder.path() / "x"), 0700u);
  EXPECT_EQ(modeOf(folder.path() / "x" / "y"), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
}

TEST(PrivateFolderTest, AnExistingFolderMustBePrivateAndNoLink) {
  test::TemporaryFolder folder;
  const auto open = folder.path() / "open";
  std::filesystem::create_directory(open);
  ::chmod(open.c_str(), 0755);
  EXPECT_EQ(PrivateFolder::ensure(open), std::errc::permission_denied);
  EXPECT_EQ(modeOf(open), 0755u);  // refused, not changed

  const auto target = folder.path() / "target";
  ASSERT_FALSE(PrivateFolder::create(target));
  const auto link = folder.path() / "link";
  std::filesystem::create_directory_symlink(target, link);
  EXPECT_EQ(PrivateFolder::ensure(link), std::errc::permission_denied);

  EXPECT_FALSE(PrivateFolder::ensure(target));
  EXPECT_FALSE(PrivateFolder::ensure(folder.path() / "new"));
}

TEST(FileLockTest, AnExclusiveLockWaitsForTheOtherHolder) {
  test::TemporaryFolder folder;
  const auto lockFile = folder.path() / "store.lock";
  std::atomic<bool> released{false};
  std::atomic<bool> tookItWhileHeld{false};
  auto first = std::make_unique<FileLock>(lockFile, FileLock::Mode::exclusive);
  ASSERT_TRUE(first->held());
  std::thread other([&] {
    FileLock second(lockFile, FileLock::Mode::exclusive);
    tookItWhileHeld = !released.load();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  released = true;
  first.reset();
  other.join();
  EXPECT_FALSE(tookItWhileHeld);
}

}  // namespace
}  // namespace corvel
