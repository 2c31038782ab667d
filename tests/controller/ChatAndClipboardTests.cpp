#include <gtest/gtest.h>

#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/Clipboard.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::UUID;
using corvel::protocol::ChatMessage;
using corvel::protocol::ClientRole;
using corvel::protocol::MessageType;
using std::chrono::seconds;

class ChatAndClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false)); }
  static void chat(const HostRig::Peer& p, const std::string& text, const std::string& claimed = "Someone else") {
    p.connection->deliverJSON(MessageType::chat, ChatMessage{UUID::random(), text, claimed, {}});
  }
  static void paste(const HostRig::Peer& p, const std::string& text) {
    p.connection->deliverJSON(MessageType::clipboard, corvel::protocol::Clipboard{text});
  }
  static std::vector<std::string> clipboards(const HostRig::Peer& p) {
    std::vector<std::string> texts;
    for (auto& [type, payload] : p.connection->sent()) {
      if (type == MessageType::clipboard) texts.push_back(corvel::JSONCoding::decode<corvel::protocol::Clipboard>(payload)->text);
    }
    return texts;
  }
  HostRig rig;
};

TEST_F(ChatAndClipboardTest, ChatCarriesTheSendersHelloName) {
  auto phone = rig.join("Phone");
  int unreadChanges = 0;
  rig.host->subscribe([&](const HostChange& c) { unreadChanges += c.property == HostProperty::unreadChat; });
  chat(phone, "hello there");
  rig.settle();
  ASSERT_EQ(rig.host->chat().size(), 1u);
  EXPECT_EQ(rig.host->chat()[0].sender, "Phone");
  EXPECT_EQ(rig.host->unreadChat(), 1);
  EXPECT_TRUE(rig.notifier->saw("Message from Phone"));

  // View-only people chat too; a message over the limit is refused; strangers aren't heard.
  auto viewer = rig.join("Viewer");
  rig.host->setCanControl(viewer.client, false);
  chat(viewer, "me too");
  chat(viewer, std::string(ChatLog::maximumTextBytes + 1, 'x'));
  auto stranger = rig.connect();
  chat(stranger, "psst");
  rig.settle();
  ASSERT_EQ(rig.host->chat().size(), 2u);
  EXPECT_EQ(rig.host->chat()[1].sender, "Viewer");
  EXPECT_EQ(rig.host->unreadChat(), 2);

  rig.host->chatLog().markChatRead();
  EXPECT_EQ(rig.host->unreadChat(), 0);
  EXPECT_EQ(unreadChanges, 3);

  // The transcript belongs to the host's run: it outlives the connection.
  phone.connection->hangUp();
  rig.settle();
  auto again = rig.join("Phone");
  chat(again, "back");
  rig.settle();
  ASSERT_EQ(rig.host->chat().size(), 3u);
  EXPECT_EQ(rig.host->chat()[0].text, "hello there");
  EXPECT_EQ(rig.host->chat()[2].sender, "Phone");
}

TEST_F(ChatAndClipboardTest, ChatFromThisComputerGoesToEveryAdmittedClient) {
  auto a = rig.join("A");
  auto sharer = rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer);
  auto stranger = rig.connect();
  EXPECT_FALSE(rig.host->chatLog().sendChat(" \n\t "));
  EXPECT_TRUE(rig.host->chat().empty());
  EXPECT_TRUE(rig.host->chatLog().sendChat(std::string(ChatLog::maximumTextBytes + 1, 'y')));
  EXPECT_FALSE(rig.host->chatLog().sendChat("  see you \n"));
  rig.settle();
  ASSERT_EQ(rig.host->chat().size(), 1u);
  for (auto* p : {&a, &sharer}) {
    auto sent = p->connection->last<ChatMessage>(MessageType::chat);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->text, "see you");
    EXPECT_EQ(sent->sender, "Test Host");
  }
  EXPECT_EQ(stranger.connection->count(MessageType::chat), 0);
  EXPECT_EQ(rig.host->unreadChat(), 0);
}

TEST_F(ChatAndClipboardTest, CopiedTextGoesToClientsOncePerChange) {
  auto a = rig.join("A");
  auto b = rig.join("B");
  rig.clipboard->copy("one");
  rig.advance(seconds(1));
  rig.clipboard->copy("one");  // the same text copied again is a new change
  rig.advance(seconds(1));
  rig.advance(seconds(1));     // no change, nothing sent
  rig.clipboard->copy(std::nullopt);  // an image: no text
  rig.advance(seconds(1));
  rig.clipboard->copy(std::string(1'000'000, 'x'));
  rig.advance(seconds(1));
  rig.clipboard->copy(std::string(999'999, 'y'));
  rig.advance(seconds(1));
  for (auto* p : {&a, &b}) {
    auto texts = clipboards(*p);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "one");
    EXPECT_EQ(texts[1], "one");
    EXPECT_EQ(texts[2].size(), 999'999u);
  }
  // Text still being read is taken at a later tick.
  rig.clipboard->now = {rig.clipboard->now.changeCount + 1, std::nullopt, true};
  rig.advance(seconds(1));
  rig.clipboard->now = {rig.clipboard->now.changeCount, std::string("late"), false};
  rig.advance(seconds(1));
  EXPECT_EQ(clipboards(a).back(), "late");
}

TEST_F(ChatAndClipboardTest, TextFromAControllingViewerIsPastedAndNotSentBack) {
  auto a = rig.join("A");
  auto b = rig.join("B");
  auto viewOnly = rig.join("Watcher");
  rig.host->setCanControl(viewOnly.client, false);
  auto sharer = rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer);

  paste(a, "from a");
  paste(viewOnly, "from the watcher");
  paste(sharer, "from the sharer");
  rig.advance(seconds(2));
  EXPECT_EQ(rig.clipboard->writes, std::vector<std::string>{"from a"});
  EXPECT_TRUE(clipboards(a).empty());
  EXPECT_TRUE(clipboards(b).empty());
}

TEST_F(ChatAndClipboardTest, SwitchedOffNeitherWayAndCatchesUpWhenBackOn) {
  auto a = rig.join("A");
  ASSERT_FALSE(rig.host->set(Setting::shareClipboard, false));
  paste(a, "ignored");
  rig.clipboard->copy("while off");
  rig.advance(seconds(2));
  EXPECT_TRUE(rig.clipboard->writes.empty());
  EXPECT_TRUE(clipboards(a).empty());
  EXPECT_NE(rig.host->clipboard().changeCount(), rig.clipboard->now.changeCount);

  ASSERT_FALSE(rig.host->set(Setting::shareClipboard, true));
  rig.advance(seconds(1));
  EXPECT_EQ(clipboards(a), std::vector<std::string>{"while off"});
}

}  // namespace
}  // namespace ambrel::test
