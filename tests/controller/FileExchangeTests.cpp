#include <gtest/gtest.h>

#include <fstream>

#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

namespace fs = std::filesystem;
using corvel::UUID;
using corvel::protocol::ClientRole;
using corvel::protocol::FileChunk;
using corvel::protocol::FileEnd;
using corvel::protocol::FileOffer;
using corvel::protocol::MessageType;

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class FileExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false)); }

  fs::path inbox() const { return rig.home.path() / "Downloads" / "Ambrel"; }
  std::set<std::string> inboxEntries() const {
    std::set<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(inbox(), ec)) names.insert(e.path().filename().string());
    return names;
  }
  static FileOffer offer(const HostRig::Peer& p, const std::string& name, std::int64_t size) {
    FileOffer o{UUID::random(), name, size, {}};
    p.connection->deliverJSON(MessageType::fileOffer, o);
    return o;
  }
  static void chunk(const HostRig::Peer& p, const UUID& id, std::string_view data) {
    p.connection->deliver(MessageType::fileChunk, *FileChunk::encode(id, corvel::asBytes(data)));
  }
  static void end(const HostRig::Peer& p, const UUID& id, bool cancelled = false) {
    p.connection->deliverJSON(MessageType::fileEnd, FileEnd{id, cancelled});
  }
  // The ids the host refused back to the peer.
  static std::vector<UUID> refusals(const HostRig::Peer& p) {
    std::vector<UUID> ids;
    for (auto& [type, payload] : p.connection->sent()) {
      if (type != MessageType::fileEnd) continue;
      auto e = corvel::JSONCoding::decode<FileEnd>(payload);
      if (e && e->cancelled) ids.push_back(e->id);
    }
    return ids;
  }
  fs::path writeFile(const std::string& name, const std::string& data) {
    auto path = rig.home.path() / "out" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
    return path;
  }

  HostRig rig;
};

TEST_F(FileExchangeTest, CompletedFilesAreListedAndAnnounced) {
  auto phone = rig.join("Phone");
  int changes = 0;
  rig.host->subscribe([&](const HostChange& c) { changes += c.property == HostProperty::receivedFiles; });
  for (int i = 0; i < 2; ++i) {
    auto o = offer(phone, "notes.txt", 5);
    chunk(phone, o.id, "hel");
    chunk(phone, o.id, "lo");
    end(phone, o.id);
  }
  rig.settle();
  ASSERT_EQ(rig.host->receivedFiles().size(), 2u);
  EXPECT_EQ(rig.host->receivedFiles()[0].url, inbox() / "notes.txt");
  EXPECT_EQ(rig.host->receivedFiles()[1].url, inbox() / "notes 2.txt");
  EXPECT_EQ(rig.host->receivedFiles()[1].from, "Phone");
  EXPECT_EQ(contents(inbox() / "notes 2.txt"), "hello");
  EXPECT_EQ(changes, 2);
  EXPECT_TRUE(rig.notifier->saw("Received notes 2.txt"));
  EXPECT_TRUE(refusals(phone).empty());
}

// Bad input is refused back to the sender once per file and loses nothing else.
TEST_F(FileExchangeTest, BadOffersAndChunksAreRefusedBack) {
  auto phone = rig.join("Phone");
  auto good = offer(phone, "good", 4);
  chunk(phone, good.id, "go");

  auto huge = offer(phone, "huge", corvel::files::FileReceiver::maximumSize + 1);
  chunk(phone, huge.id, "x");  // the rest of a refused file passes quietly
  const UUID stray = UUID::random();
  chunk(phone, stray, "x");
  chunk(phone, stray, "x");
  auto over = offer(phone, "over", 1);
  chunk(phone, over.id, "xx");

  chunk(phone, good.id, "od");
  end(phone, good.id);
  rig.settle();
  EXPECT_EQ(refusals(phone), (std::vector<UUID>{huge.id, stray, over.id}));
  EXPECT_EQ(inboxEntries(), std::set<std::string>{"good"});
  EXPECT_TRUE(rig.listed(phone));
}

TEST_F(FileExchangeTest, OnlyAdmittedViewersSendFiles) {
  rig.host->set(Setting::askBeforeConnecting, true);
  auto waiting = rig.join("Waiting");
  rig.host->set(Setting::askBeforeConnecting, false);
  auto sharer = rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer);
  for (auto* p : {&waiting, &sharer}) {
    auto o = offer(*p, "x", 1);
    chunk(*p, o.id, "x");
    end(*p, o.id);
  }
  rig.settle();
  EXPECT_TRUE(rig.host->receivedFiles().empty());
  EXPECT_TRUE(inboxEntries().empty());
}

TEST_F(FileExchangeTest, AClientLeavingMidTransferLeavesNoPartFile) {
  auto phone = rig.join("Phone");
  auto o = offer(phone, "big", 100);
  chunk(phone, o.id, "some");
  EXPECT_EQ(inboxEntries(), std::set<std::string>{"." + o.id.string() + ".corvel-part"});
  phone.connection->hangUp();
  rig.settle();
  EXPECT_FALSE(rig.listed(phone));
  EXPECT_TRUE(inboxEntries().empty());
}

TEST_F(FileExchangeTest, FilesForOneClientGoInTurnAndClientsInParallel) {
  auto a = rig.join("A");
  auto b = rig.join("B");
  const auto one = writeFile("one", std::string(150'000, 'x'));
  const auto two = writeFile("two", "2");
  const auto missing = rig.home.path() / "out" / "missing";

  std::vector<std::vector<std::string>> seen;
  rig.host->subscribe([&](const HostChange& c) {
    if (c.property == HostProperty::sendingFiles) seen.push_back(rig.host->sendingFiles());
  });
  EXPECT_EQ(rig.host->files().sendToEveryone({one, missing, two}), 2);
  // Each client's first file starts at once; the rest wait for it.
  EXPECT_EQ(rig.host->sendingFiles(), (std::vector<std::string>{"one → A", "one → B"}));
  rig.settle();
  EXPECT_TRUE(rig.host->sendingFiles().empty());
  for (const auto& labels : seen) EXPECT_LE(labels.size(), 2u);
  EXPECT_EQ(rig.host->lastError(), "Couldn't send missing: No such file or directory");

  for (auto* p : {&a, &b}) {
    std::vector<std::string> offered;
    std::size_t bytes = 0;
    for (auto& [type, payload] : p->connection->sent()) {
      if (type == MessageType::fileOffer) offered.push_back(corvel::JSONCoding::decode<FileOffer>(payload)->name);
      if (type == MessageType::fileChunk) bytes += payload.size() - UUID::size;
    }
    EXPECT_EQ(offered, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(bytes, 150'001u);
  }
}

}  // namespace
}  // namespace ambrel::test
