#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::files {
namespace {

namespace fs = std::filesystem;
using protocol::FileChunk;
using protocol::FileEnd;
using protocol::FileOffer;

Bytes pattern(std::size_t size, std::uint8_t seed = 1) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return b;
}

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Every entry of a folder, hidden ones included.
std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

class FileReceiverTest : public ::testing::Test {
 protected:
  test::TemporaryFolder temp;
  fs::path folder = temp.path() / "Downloads" / "Ambrel";
  FileReceiver receiver{folder};

  // Offers, sends in chunks of at most 64 KiB and ends; the result of the end.
  Expected<std::optional<FileReceiver::Completed>, std::error_code> transfer(
      const std::string& name, const Bytes& data) {
    FileOffer offer{UUID::random(), name, static_cast<std::int64_t>(data.size()), "keep"};
    EXPECT_FALSE(receiver.offer(offer));
    for (std::size_t at = 0; at < data.size(); at += FileChunk::maxDataSize) {
      auto n = std::min(FileChunk::maxDataSize, data.size() - at);
      EXPECT_FALSE(receiver.chunk(*FileChunk::encode(offer.id, ByteView(data).subspan(at, n))));
    }
    return receiver.end({offer.id, false});
  }
};

TEST_F(FileReceiverTest, CompleteFilesArriveUnderFreeNames) {
  const std::pair<std::string, std::size_t> files[] = {
      {"report.pdf", 150'000}, {"report.pdf", 10}, {"notes", 0}, {"notes", 1}, {"../a:b/c", 5}};
  const char* expected[] = {"report.pdf", "report 2.pdf", "notes", "notes 2", "c"};
  for (std::size_t i = 0; i < std::size(files); ++i) {
    const auto data = pattern(files[i].second, static_cast<std::uint8_t>(i));
    auto done = transfer(files[i].first, data);
    ASSERT_TRUE(done && *done) << files[i].first;
    EXPECT_EQ((*done)->url, folder / expected[i]);
    EXPECT_EQ((*done)->size, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ((*done)->purpose, "keep");
    EXPECT_EQ(contents((*done)->url), std::string(data.begin(), data.end()));
  }
  EXPECT_EQ(entries(folder), (std::set<std::string>{"report.pdf", "report 2.pdf", "notes", "notes 2", "c"}));
}

TEST_F(FileReceiverTest, BadTransfersLeaveNothingBehind) {
  // Above the cap: refused before anything is made.
  FileOffer huge{UUID::random(), "big", FileReceiver::maximumSize + 1, {}};
  EXPECT_EQ(receiver.offer(huge), FileTransferErrc::outOfSpace);
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(receiver.offer({UUID::random(), "neg", -1, {}}), FileTransferErrc::invalidOffer);

  // Exactly at the cap is taken.
  FileOffer capped{UUID::random(), "big", FileReceiver::maximumSize, {}};
  EXPECT_FALSE(receiver.offer(capped));
  EXPECT_TRUE(receiver.has(capped.id));

  // More than offered: dropped.
  FileOffer small{UUID::random(), "small", 4, {}};
  ASSERT_FALSE(receiver.offer(small));
  EXPECT_FALSE(receiver.chunk(*FileChunk::encode(small.id, pattern(3))));
  EXPECT_EQ(receiver.chunk(*FileChunk::encode(small.id, pattern(2))), FileTransferErrc::writeFailed);
  EXPECT_FALSE(receiver.has(small.id));

  // Short of its size, or cancelled: no file.
  FileOffer shortOne{UUID::random(), "short", 10, {}};
  ASSERT_FALSE(receiver.offer(shortOne));
  EXPECT_FALSE(receiver.chunk(*FileChunk::encode(shortOne.id, pattern(9))));
  auto ended = receiver.end({shortOne.id, false});
  ASSERT_TRUE(ended);
  EXPECT_FALSE(*ended);
  FileOffer cancelled{UUID::random(), "cancelled", 1, {}};
  ASSERT_FALSE(receiver.offer(cancelled));
  EXPECT_FALSE(receiver.chunk(*FileChunk::encode(cancelled.id, pattern(1))));
  ended = receiver.end({cancelled.id, true});
  ASSERT_TRUE(ended);
  EXPECT_FALSE(*ended);

  // Unknown ids change nothing; a payload shorter than an id is ignored.
  EXPECT_EQ(receiver.chunk(*FileChunk::encode(UUID::random(), pattern(5))), FileTransferErrc::unknownTransfer);
  EXPECT_FALSE(receiver.chunk(pattern(15)));
  ended = receiver.end({UUID::random(), false});
  ASSERT_TRUE(ended);
  EXPECT_FALSE(*ended);

  // Only the capped transfer's part file is left, and the client leaving takes it.
  EXPECT_EQ(entries(folder), std::set<std::string>{"." + capped.id.string() + ".corvel-part"});
  receiver.close();
  EXPECT_TRUE(entries(folder).empty());
  EXPECT_EQ(receiver.offer({UUID::random(), "late", 1, {}}), FileTransferErrc::receiverClosed);
  EXPECT_TRUE(entries(folder).empty());
}

TEST_F(FileReceiverTest, ASecondOfferWithTheSameIdReplacesTheFirst) {
  FileOffer first{UUID::random(), "first", 3, {}};
  ASSERT_FALSE(receiver.offer(first));
  EXPECT_FALSE(receiver.chunk(*FileChunk::encode(first.id, pattern(3))));
  FileOffer second{first.id, "second", 2, {}};
  ASSERT_FALSE(receiver.offer(second));
  EXPECT_FALSE(receiver.chunk(*FileChunk::encode(first.id, asBytes("ok"))));
  auto done = receiver.end({first.id, false});
  ASSERT_TRUE(done && *done);
  EXPECT_EQ(contents((*done)->url), "ok");
  EXPECT_EQ(entries(folder), std::set<std::string>{"second"});
}

TEST_F(FileReceiverTest, OneOfferTooManyIsRefused) {
  std::vector<UUID> ids;
  for (std::size_t i = 0; i < FileReceiver::maximumTransfers; ++i) {
    ids.push_back(UUID::random());
    ASSERT_FALSE(receiver.offer({ids.back(), "f", 1, {}}));
  }
  EXPECT_EQ(receiver.offer({UUID::random(), "f", 1, {}}), FileTransferErrc::tooManyTransfers);
  (void)receiver.end({ids[0], true});
  EXPECT_FALSE(receiver.offer({UUID::random(), "f", 1, {}}));
}

// Links that someone put in the folder are never followed and never replaced.
TEST_F(FileReceiverTest, PlantedLinksNeverLeadOutside) {
  const auto outside = temp.path() / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "precious") << "keep me";
  fs::create_directories(folder);
  fs::create_symlink(outside / "precious", folder / "report.pdf");
  fs::create_symlink(outside / "missing", folder / "notes");  // dangling

  auto done = transfer("report.pdf", pattern(100));
  ASSERT_TRUE(done && *done);
  EXPECT_EQ((*done)->url, folder / "report 2.pdf");
  done = transfer("notes", pattern(3));
  ASSERT_TRUE(done && *done);
  EXPECT_EQ((*done)->url, folder / "notes 2");
  EXPECT_FALSE(fs::exists(outside / "missing"));

  // A link where the part file goes is removed, not written through.
  FileOffer offer{UUID::random(), "x", 2, {}};
  fs::create_symlink(outside / "precious", folder / ("." + offer.id.string() + ".corvel-part"));
  ASSERT_FALSE(receiver.offer(offer));
  EXPECT_FALSE(receiver.chunk(*FileChunk::encode(offer.id, asBytes("!!"))));
  ASSERT_TRUE(receiver.end({offer.id, false}));
  EXPECT_EQ(contents(outside / "precious"), "keep me");
  EXPECT_EQ(entries(outside), std::set<std::string>{"precious"});
}

TEST_F(FileReceiverTest, AReceivingFolderThatIsALinkIsRefused) {
  const auto outside = temp.path() / "outside";
  fs::create_directories(outside);
  fs::create_directories(folder.parent_path());
  fs::create_directory_symlink(outside, folder);
  EXPECT_TRUE(receiver.offer({UUID::random(), "f", 1, {}}));
  EXPECT_TRUE(entries(outside).empty());
}

}  // namespace
}  // namespace corvel::files
