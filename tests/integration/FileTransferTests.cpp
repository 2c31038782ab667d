#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostHarness.h"
#include "tests/support/HostProcess.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvel::UUID;
using corvel::protocol::FileChunk;
using corvel::protocol::FileEnd;
using corvel::protocol::FileOffer;
using corvel::protocol::MessageType;
using corvel::test::ChildProcess;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
  return names;
}

// A real host on its own display, the files it receives in its home's Downloads/Ambrel.
class FileTransferTest : public ::testing::Test {
 protected:
  corvel::test::XvfbServer screen{"640x480x24"};
  corvel::test::TemporaryHome testHome;  // the test's own devices keep their identities here
  corvel::test::TemporaryFolder clientHome;
  std::unique_ptr<corvel::test::HostProcess> host;

  void SetUp() override {
    ASSERT_TRUE(screen.isRunning()) << screen.errors();
    host = std::make_unique<corvel::test::HostProcess>(
        kHost, corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false})",
                                                  .environment = {{"DISPLAY", screen.displayName()}}});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0);
  }

  fs::path inbox() const { return host->home() / "Downloads" / "Ambrel"; }
  fs::path makeFile(const std::string& name, std::size_t size) {
    const auto path = clientHome.path() / "out" / name;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(size);
    std::vector<std::uint64_t> block(8192);
    for (std::size_t left = size; left > 0;) {
      for (auto& w : block) w = random();
      const auto n = std::min(left, block.size() * sizeof(std::uint64_t));
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
      left -= n;
    }
    return path;
  }
  std::unique_ptr<ChildProcess> corvel(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"127.0.0.1", "--code", host->accessCode()});
    return std::make_unique<ChildProcess>(kClient, std::move(args),
                                          std::map<std::string, std::string>{{"AMBREL_HOME", clientHome.path().string()}});
  }
  std::pair<std::optional<int>, std::string> hostCommand(std::vector<std::string> args) {
    ChildProcess p(kHost, std::move(args), {{"AMBREL_HOME", host->home().string()}});
    auto status = p.wait(30s);
    return {status, p.output() + p.errors()};
  }
  // A device of the test's own, admitted, that speaks the protocol message by message.
  std::unique_ptr<test::TestDevice> device(const std::string& name) {
    auto d = std::make_unique<test::TestDevice>(name, host->accessCode());
    EXPECT_TRUE(d->waitReady());
    d->sendHello();
    EXPECT_TRUE(d->waitForMessage(MessageType::permissions));
    return d;
  }
  static void offer(test::TestDevice& d, const FileOffer& o) {
    d.connection->sendJSON(MessageType::fileOffer, o);
  }
  static void chunk(test::TestDevice& d, const UUID& id, std::string_view data) {
    d.connection->send(MessageType::fileChunk, *FileChunk::encode(id, corvel::asBytes(data)));
  }
  static void end(test::TestDevice& d, const UUID& id) {
    d.connection->sendJSON(MessageType::fileEnd, FileEnd{id, false});
  }
  static void sendWhole(test::TestDevice& d, const std::string& name, std::string_view data) {
    FileOffer o{UUID::random(), name, static_cast<std::int64_t>(data.size()), {}};
    offer(d, o);
    chunk(d, o.id, data);
    end(d, o.id);
  }
  static std::vector<UUID> refusals(test::TestDevice& d) {
    std::vector<UUID> ids;
    std::lock_guard lock(d.events.mutex);
    for (auto& [type, payload] : d.events.messages) {
      if (type != MessageType::fileEnd) continue;
      if (auto e = corvel::JSONCoding::decode<FileEnd>(payload); e && e->cancelled) ids.push_back(e->id);
    }
    return ids;
  }
  bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;) {
      if (condition()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return condition();
  }
};

TEST_F(FileTransferTest, FilesFromAClientArriveWhole) {
  const std::pair<std::string, std::size_t> files[] = {
      {"empty", 0}, {"small.bin", 150'000}, {"large.bin", 50'000'000}};
  std::vector<std::string> args{"send"};
  for (auto& [name, size] : files) args.push_back(makeFile(name, size).string());
  auto send = corvel(args);
  ASSERT_EQ(send->wait(120s), 0) << send->output() << send->errors();
  for (auto& [name, size] : files) {
    EXPECT_NE(send->output().find("sent " + name + " (" + std::to_string(size) + " bytes)"), std::string::npos);
    ASSERT_TRUE(fs::exists(inbox() / name)) << name;
    EXPECT_EQ(contents(inbox() / name), contents(clientHome.path() / "out" / name)) << name;
  }
  EXPECT_EQ(entries(inbox()), (std::set<std::string>{"empty", "small.bin", "large.bin"}));
  auto received = hostCommand({"received"});
  EXPECT_NE(received.second.find((inbox() / "large.bin").string() + "  from corvel"), std::string::npos)
      << received.second;
}

TEST_F(FileTransferTest, FilesFromTheHostArriveWhole) {
  const std::pair<std::string, std::size_t> files[] = {
      {"empty", 0}, {"small.bin", 150'000}, {"large.bin", 50'000'000}};
  std::vector<std::string> args{"send"};
  for (auto& [name, size] : files) args.push_back(makeFile(name, size).string());
  args.push_back((clientHome.path() / "out" / "small.bin").string());  // the same name again
  const auto into = clientHome.path() / "in";
  auto receive = corvel({"receive", "--into", into.string(), "--files", "4"});
  ASSERT_TRUE(waitFor([&] { return hostCommand({"status"}).second.find("connected, in control") != std::string::npos; }));

  auto sent = hostCommand(args);
  ASSERT_EQ(sent.first, 0) << sent.second;
  EXPECT_EQ(sent.second, "Sending 4 files to 1 device.\n");
  ASSERT_EQ(receive->wait(120s), 0) << receive->output() << receive->errors();
  for (auto& [name, size] : files) {
    EXPECT_EQ(contents(into / name), contents(clientHome.path() / "out" / name)) << name;
  }
  EXPECT_EQ(contents(into / "small 2.bin"), contents(clientHome.path() / "out" / "small.bin"));
  EXPECT_EQ(entries(into), (std::set<std::string>{"empty", "small.bin", "large.bin", "small 2.bin"}));

  auto missing = hostCommand({"send", (clientHome.path() / "nothing").string()});
  EXPECT_EQ(missing.first, 1);
  EXPECT_EQ(missing.second, "Can't read " + (clientHome.path() / "nothing").string() + ".\n");
}

// A device that won't take a file says so, and the host stops sending it at once.
TEST_F(FileTransferTest, AFileTheDeviceRefusesStopsEarly) {
  const auto real = clientHome.path() / "real";
  fs::create_directories(real);
  const auto link = clientHome.path() / "link";
  fs::create_directory_symlink(real, link);  // a receiving folder that is a link is refused
  auto receive = corvel({"receive", "--into", link.string(), "--seconds", "30"});
  ASSERT_TRUE(waitFor([&] { return hostCommand({"status"}).second.find("connected, in control") != std::string::npos; }));
  const auto large = makeFile("large.bin", 200'000'000);
  ASSERT_EQ(hostCommand({"send", large.string()}).first, 0);
  std::string status;
  ASSERT_TRUE(waitFor([&] {
    status = hostCommand({"status"}).second;
    return status.find("Last error: Couldn't send large.bin: The receiver refused the file.") != std::string::npos;
  })) << status;
  EXPECT_EQ(status.find("Sending large.bin"), std::string::npos);
  EXPECT_NE(receive->output().find("refused a file"), std::string::npos);
  // Nothing was written through the link.
  EXPECT_TRUE(fs::is_empty(real));
}

// Names, links and sizes that try to reach outside the folder or fill the disk.
TEST_F(FileTransferTest, HostileOffersStayInsideTheFolder) {
  const auto outside = clientHome.path() / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "precious") << "keep me";
  fs::create_directories(inbox());
  fs::create_symlink(outside / "precious", inbox() / "report.pdf");
  fs::create_symlink(outside, inbox() / "dir");

  auto d = device("Mallory");
  using namespace std::string_literals;
  const std::string names[] = {"../../escape", "/etc/passwd",       "..",  ".",
                               "",             "a\0b"s,             "dir/x", "report.pdf",
                               "report.pdf",   std::string(300, 'n') + ".txt"};
  for (const auto& name : names) sendWhole(*d, name, "data");
  const FileOffer huge{UUID::random(), "huge", 21'474'836'481, {}};
  offer(*d, huge);
  ASSERT_TRUE(waitFor([&] { return refusals(*d).size() == 1; }));
  EXPECT_EQ(refusals(*d).front(), huge.id);

  const std::set<std::string> expected{"report.pdf", "dir", "escape", "passwd", "File", "File 2",
                                       "File 3", "a-b", "x", "report 2.pdf", "report 3.pdf",
                                       std::string(251, 'n') + ".txt"};
  ASSERT_TRUE(waitFor([&] { return entries(inbox()) == expected; })) << ::testing::PrintToString(entries(inbox()));
  EXPECT_EQ(contents(outside / "precious"), "keep me");
  EXPECT_EQ(entries(outside), std::set<std::string>{"precious"});
  EXPECT_EQ(contents(inbox() / "escape"), "data");
  // None of it cost the session.
  EXPECT_NE(hostCommand({"status"}).second.find("Mallory  127.0.0.1  connected"), std::string::npos);
}

TEST_F(FileTransferTest, AClientThatLeavesMidTransferLeavesNoPartFile) {
  auto d = device("Leaver");
  const FileOffer o{UUID::random(), "half", 1'000'000, {}};
  offer(*d, o);
  chunk(*d, o.id, std::string(65536, 'h'));
  const auto part = "." + o.id.string() + ".corvel-part";
  ASSERT_TRUE(waitFor([&] { return entries(inbox()).contains(part); }));
  d->connection->cancel();
  ASSERT_TRUE(waitFor([&] { return entries(inbox()).empty(); }));
  EXPECT_NE(hostCommand({"received"}).second.find("No files received."), std::string::npos);
}

}  // namespace
}  // namespace ambrel
