#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/SelectionClient.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvel::test::ChildProcess;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

class ChatAndClipboardTest : public ::testing::Test {
 protected:
  corvel::test::XvfbServer screen{"640x480x24"};
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
  bool connected(const std::string& name) {
    return waitFor([&] { return hostCommand({"status"}).second.find(name + "  127.0.0.1  connected") != std::string::npos; });
  }
};

TEST_F(ChatAndClipboardTest, ClipboardTextTravelsBothWaysWithoutEcho) {
  corvel::test::SelectionClient desktop(screen.displayName());
  ASSERT_TRUE(desktop.isConnected());
  std::string utf8;
  while (utf8.size() < 3000) utf8 += "Grüße, 世界 🙂 ";
  const std::string texts[] = {"plain ASCII text", utf8, std::string(999'999, 'a'), std::string(1'000'000, 'b')};

  const auto received = clientHome.path() / "received.txt";
  auto listener = corvel({"clipboard", "--name", "Listener", "--seconds", "120", "--into", received.string()});
  ASSERT_TRUE(connected("Listener")) << listener->output();

  // Copied on the computer: everything up to 999,999 bytes reaches the device, exactly.
  for (const auto& text : texts) {
    const int before = occurrences(listener->output(), "clipboard ");
    desktop.copy(text);
    if (text.size() > 999'999) {
      std::this_thread::sleep_for(3s);
      EXPECT_EQ(occurrences(listener->output(), "clipboard "), before) << "sent " << text.size() << " bytes";
    } else {
      ASSERT_TRUE(waitFor([&] { return occurrences(listener->output(), "clipboard ") == before + 1; }))
          << text.size() << " bytes: " << listener->output();
      EXPECT_TRUE(waitFor([&] { return contents(received) == text; })) << text.size() << " bytes";
    }
  }

  // From a device to the computer: every size lands on the clipboard, and nothing comes back.
  const int heard = occurrences(listener->output(), "clipboard ");
  for (const auto& text : texts) {
    const auto file = clientHome.path() / "paste.txt";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    auto paster = corvel({"clipboard", "--name", "Paster", "--text-file", file.string()});
    ASSERT_EQ(paster->wait(30s), 0) << paster->output() << paster->errors();
    EXPECT_NE(paster->output().find("clipboard sent"), std::string::npos);
    std::optional<std::string> pasted;
    ASSERT_TRUE(waitFor([&] { return (pasted = desktop.paste(2s)) == text; }))
        << text.size() << " bytes; pasted " << (pasted ? pasted->size() : 0);
  }
  std::this_thread::sleep_for(2500ms);  // two poll ticks
  EXPECT_EQ(occurrences(listener->output(), "clipboard "), heard) << listener->output();
}

TEST_F(ChatAndClipboardTest, ChatNamesComeFromTheHelloAndTheTranscriptOutlivesConnections) {
  auto alice = corvel({"chat", "--name", "Alice", "hi from Alice"});
  ASSERT_EQ(alice->wait(30s), 0) << alice->output() << alice->errors();
  auto bob = corvel({"chat", "--name", "Bob", "--seconds", "60"});
  ASSERT_TRUE(connected("Bob"));
  EXPECT_NE(hostCommand({"status"}).second.find("Unread chat messages: 1"), std::string::npos);

  auto sent = hostCommand({"chat", "hello, everyone"});
  EXPECT_EQ(sent.second, "Sent.\n");
  ASSERT_TRUE(waitFor([&] { return std::regex_search(bob->output(), std::regex("chat .+: hello, everyone")); }))
      << bob->output();

  auto again = corvel({"chat", "--name", "Alice", "back again"});
  ASSERT_EQ(again->wait(30s), 0);
  auto transcript = hostCommand({"chat"});
  EXPECT_TRUE(std::regex_search(transcript.second,
                                std::regex("^Alice: hi from Alice\n.+: hello, everyone\nAlice: back again\n$")))
      << transcript.second;
  EXPECT_EQ(hostCommand({"status"}).second.find("Unread chat"), std::string::npos);
  EXPECT_EQ(hostCommand({"chat", "   "}).second, "Nothing to send.\n");
  EXPECT_EQ(occurrences(hostCommand({"chat"}).second, "\n"), 3);
}

}  // namespace
}  // namespace ambrel
