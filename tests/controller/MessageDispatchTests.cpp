#include <gtest/gtest.h>

#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/HostAction.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/MacCommand.h"
#include "CorvelKit/protocol/SelectDisplay.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::ClientRole;
using corvel::protocol::HostAction;
using corvel::protocol::InputEvent;
using corvel::protocol::MacCommand;
using corvel::protocol::MessageType;
using std::chrono::seconds;

class MessageDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false)); }
  static void move(const HostRig::Peer& p) {
    p.connection->deliverJSON(MessageType::input, InputEvent{InputEvent::MouseMove{0.5, 0.5}});
  }
  static void lock(const HostRig::Peer& p) {
    p.connection->deliverJSON(MessageType::hostAction, HostAction::lockScreen);
  }
  static void openApp(const HostRig::Peer& p) {
    p.connection->deliverJSON(MessageType::macCommand, MacCommand{MacCommand::OpenApp{"Calculator"}});
  }
  HostRig rig;
};

// Who may drive the computer: input, host actions and commands by the sender's state.
TEST_F(MessageDispatchTest, ControlMessagesActOnlyForAdmittedControllingViewers) {
  struct Case {
    const char* what;
    std::function<HostRig::Peer()> make;
    bool acts;
  };
  const Case cases[] = {
      {"controlling viewer", [&] { return rig.join("Viewer"); }, true},
      {"view-only viewer",
       [&] {
         auto p = rig.join("Viewer");
         rig.host->setCanControl(p.client, false);
         return p;
       },
       false},
      {"waiting for approval",
       [&] {
         rig.host->set(Setting::askBeforeConnecting, true);
         auto p = rig.join("Viewer");
         rig.host->set(Setting::askBeforeConnecting, false);
         return p;
       },
       false},
      {"no hello yet", [&] { return rig.connect(); }, false},
      {"screen sharer",
       [&] { return rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer); },
       false},
      {"stopped",
       [&] {
         auto p = rig.join("Viewer");
         rig.host->stopClient(p.client, "Disconnected by the host.");
         return p;
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto p = c.make();
    rig.settle();
    rig.poster->take();
    rig.actions->calls.clear();
    move(p);
    lock(p);
    openApp(p);
    rig.settle();
    EXPECT_EQ(!rig.poster->take().empty(), c.acts);
    EXPECT_EQ(rig.actions->calls.size(), c.acts ? 2u : 0u);
    EXPECT_EQ(p.connection->count(MessageType::chat), c.acts ? 1 : 0);
    rig.host->disconnectEveryone("Disconnected by the host.");
    rig.advance(seconds(1));
  }
}

TEST_F(MessageDispatchTest, InputMovesThePointerOnTheViewersDisplayAndCommandsAnswerInTheChat) {
  auto p = rig.join("Viewer");
  rig.poster->take();
  p.connection->deliverJSON(MessageType::selectDisplay, corvel::protocol::SelectDisplay{HostRig::sideDisplay});
  rig.settle();
  move(p);
  rig.settle();
  // The middle of the side display (1280×1024 at x 1920).
  auto events = rig.poster->take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "move 2560 512");

  openApp(p);
  rig.settle();
  auto answer = p.connection->last<corvel::protocol::ChatMessage>(MessageType::chat);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->text, "Opened Calculator.");
  EXPECT_EQ(answer->sender, "Mac");
}

TEST_F(MessageDispatchTest, DroppedMessagesStillKeepTheirSenderAlive) {
  auto p = rig.join("Viewer");
  rig.host->setCanControl(p.client, false);
  for (int i = 0; i < 60; ++i) {
    move(p);  // dropped: view only
    rig.advance(seconds(1));
  }
  EXPECT_TRUE(rig.listed(p));
}

TEST_F(MessageDispatchTest, PingsAreAnsweredForAnyoneWithTheSamePayload) {
  rig.host->set(Setting::askBeforeConnecting, true);
  auto waiting = rig.join("Waiting");
  waiting.connection->deliver(MessageType::ping, corvel::Bytes{7, 8, 9});
  auto sent = waiting.connection->sent();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().first, MessageType::pong);
  EXPECT_EQ(sent.back().second, (corvel::Bytes{7, 8, 9}));
}

TEST_F(MessageDispatchTest, SelectingADisplayThatDoesNotExistChangesNothing) {
  auto p = rig.join("Viewer");
  rig.streams->keyframeRequests.clear();
  p.connection->deliverJSON(MessageType::selectDisplay, corvel::protocol::SelectDisplay{99});
  rig.settle();
  EXPECT_EQ(p.client->displayID(), HostRig::mainDisplay);
  EXPECT_TRUE(rig.streams->keyframeRequests.empty());

  p.connection->deliverJSON(MessageType::selectDisplay, corvel::protocol::SelectDisplay{HostRig::sideDisplay});
  rig.settle();
  EXPECT_EQ(p.client->displayID(), HostRig::sideDisplay);
  EXPECT_EQ(rig.streams->keyframeRequests, std::vector<std::uint32_t>{HostRig::sideDisplay});
}

TEST_F(MessageDispatchTest, KeyframeRequestsOnlyFromAdmittedClients) {
  auto stranger = rig.connect();
  stranger.connection->deliver(MessageType::keyframeRequest, {});
  EXPECT_TRUE(rig.streams->keyframeRequests.empty());
  auto viewer = rig.join("Viewer");
  viewer.connection->deliver(MessageType::keyframeRequest, {});
  EXPECT_EQ(rig.streams->keyframeRequests, std::vector<std::uint32_t>{HostRig::mainDisplay});
}

TEST_F(MessageDispatchTest, FeaturesAddRoutesOfTheirOwn) {
  int chats = 0;
  rig.host->dispatch().route(MessageType::chat, MessageDispatch::Stage::main,
                             MessageDispatch::admitted, [&](const auto&, corvel::Bytes&) { ++chats; });
  auto stranger = rig.connect();
  auto viewer = rig.join("Viewer");
  stranger.connection->deliver(MessageType::chat, {});
  viewer.connection->deliver(MessageType::chat, {});
  rig.settle();
  EXPECT_EQ(chats, 1);
}

}  // namespace
}  // namespace ambrel::test
