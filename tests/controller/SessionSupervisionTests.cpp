#include <gtest/gtest.h>

#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/SessionPermissions.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::ClientRole;
using corvel::protocol::MessageType;
using corvel::protocol::SessionPermissions;
using std::chrono::seconds;

class SessionSupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, false)); }
  // Keeps a client alive for the silence rule without any input.
  void ping(const HostRig::Peer& p) { p.connection->deliver(MessageType::ping, corvel::Bytes{1}); }
  HostRig rig;
};

TEST_F(SessionSupervisionTest, SilentViewersAreDroppedAfterTwentySeconds) {
  auto silent = rig.join("Silent");
  auto chatty = rig.join("Chatty");
  corvel::Clock::Duration elapsed{};
  while (rig.listed(silent) && elapsed < seconds(40)) {
    ping(chatty);
    rig.advance(seconds(1));
    elapsed += seconds(1);
  }
  EXPECT_GT(elapsed, seconds(20));
  EXPECT_LE(elapsed, seconds(26));
  EXPECT_TRUE(rig.listed(chatty));
  EXPECT_TRUE(silent.connection->cancelled());
  EXPECT_EQ(rig.history->lines.back(), "end Silent: No response for 20 seconds");
}

TEST_F(SessionSupervisionTest, AViewerWhoseVideoStaysStalledIsEndedAsSilentThoughItPings) {
  auto stuck = rig.join("Stuck");
  auto fine = rig.join("Fine");
  // What the pipeline marks on a viewer that stopped taking video.
  stuck.client->withVideoFlow([](VideoFlow& flow) { flow.stalled = true; });
  corvel::Clock::Duration elapsed{};
  while (rig.listed(stuck) && elapsed < seconds(40)) {
    ping(stuck);
    ping(fine);
    rig.advance(seconds(1));
    elapsed += seconds(1);
  }
  EXPECT_GT(elapsed, seconds(20));
  EXPECT_LE(elapsed, seconds(26));
  EXPECT_TRUE(rig.listed(fine));
  EXPECT_EQ(rig.history->lines.back(), "end Stuck: No response for 20 seconds");
}

TEST_F(SessionSupervisionTest, WithoutATimeoutAWatchingViewerIsNeverStopped) {
  auto p = rig.join("Watcher");
  for (int i = 0; i < 400; ++i) {
    ping(p);
    rig.advance(seconds(1));
  }
  EXPECT_TRUE(rig.listed(p));
  EXPECT_FALSE(p.connection->byeReason());
}

TEST_F(SessionSupervisionTest, TheIdleTimeoutCountsFromTheLastInput) {
  rig.host->set(Setting::idleTimeoutMinutes, 5);
  auto p = rig.join("Watcher");
  corvel::Clock::Duration elapsed{};
  while (!p.connection->byeReason() && elapsed < seconds(700)) {
    if (elapsed == seconds(200)) {
      p.connection->deliverJSON(MessageType::input,
                                corvel::protocol::InputEvent{corvel::protocol::InputEvent::MouseMove{0.5, 0.5}});
    } else {
      ping(p);  // heard, but no input
    }
    rig.advance(seconds(1));
    elapsed += seconds(1);
  }
  EXPECT_GT(elapsed, seconds(500));
  EXPECT_LE(elapsed, seconds(506));
  EXPECT_EQ(p.connection->byeReason(), "Disconnected after 5 minutes of no activity.");
}

TEST_F(SessionSupervisionTest, AConnectionWithoutHelloIsDroppedAfterTenSeconds) {
  auto p = rig.connect();
  rig.advance(seconds(9));
  EXPECT_TRUE(rig.listed(p));
  rig.advance(seconds(2));
  EXPECT_FALSE(rig.listed(p));
  EXPECT_TRUE(p.connection->cancelled());
  EXPECT_TRUE(rig.history->lines.empty());
}

TEST_F(SessionSupervisionTest, ASessionEndsOnceWhateverRacesToEndIt) {
  auto p = rig.join("Phone");
  rig.host->stopClient(p.client, "Disconnected by the host.");
  p.connection->deliver(MessageType::bye, {});  // the peer's bye during the grace
  p.connection->hangUp();
  rig.advance(seconds(2));
  EXPECT_FALSE(rig.listed(p));
  // The stop's reason stays the outcome, and the entry closes once.
  EXPECT_EQ(rig.history->lines,
            (std::vector<std::string>{"start Phone", "end Phone: Disconnected by the host."}));
  EXPECT_EQ(p.connection->count(MessageType::bye), 1);
}

TEST_F(SessionSupervisionTest, ByeAndNetworkLossEndWithTheirOutcomes) {
  auto leaving = rig.join("Leaving");
  auto lost = rig.join("Lost");
  leaving.connection->deliver(MessageType::bye, {});
  lost.connection->hangUp();
  rig.settle();
  EXPECT_EQ(rig.history->lines,
            (std::vector<std::string>{"start Leaving", "start Lost", "end Leaving: Ended on Leaving",
                                      "end Lost: Connection lost"}));
  EXPECT_TRUE(rig.notifier->saw("Leaving disconnected"));
}

TEST_F(SessionSupervisionTest, TheComputerLocksWhenTheLastViewerLeaves) {
  rig.host->set(Setting::lockWhenSessionEnds, true);
  auto first = rig.join("First");
  auto second = rig.join("Second");
  auto sharer = rig.join("Sharer", std::nullopt, KeySource::accessCode, {}, ClientRole::screenSharer);
  ASSERT_TRUE(sharer.client->authorized());

  first.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_TRUE(rig.actions->calls.empty());
  second.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_EQ(rig.actions->calls, std::vector<std::string>{"lockScreen"});
  sharer.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_EQ(rig.actions->calls.size(), 1u);  // a sharer leaving never locks
  EXPECT_TRUE(rig.notifier->saw("Sharer stopped sharing"));
  EXPECT_FALSE(rig.notifier->saw("Sharer disconnected"));
}

TEST_F(SessionSupervisionTest, KeepAwakeFollowsStreaming) {
  auto p = rig.join("Phone");
  EXPECT_TRUE(rig.host->isStreaming());
  EXPECT_TRUE(rig.awake->held);
  p.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_FALSE(rig.host->isStreaming());
  EXPECT_FALSE(rig.awake->held);
}

TEST_F(SessionSupervisionTest, QuitSaysGoodbyeToEveryone) {
  auto viewer = rig.join("Viewer");
  auto waiting = rig.connect();
  rig.host->shutdown();
  rig.settle();
  EXPECT_EQ(viewer.connection->byeReason(), "Ambrel Host quit.");
  EXPECT_EQ(waiting.connection->byeReason(), "Ambrel Host quit.");
  EXPECT_TRUE(rig.streams->viewers.empty());
}

class SupportSessionTest : public SessionSupervisionTest {};

TEST_F(SupportSessionTest, EndingSupportClosesEveryConnectionKeyedWithItsCode) {
  rig.host->startSupport();
  ASSERT_TRUE(rig.host->supportCode());
  auto helper = rig.join("Helper", std::nullopt, KeySource::supportCode);
  ASSERT_TRUE(rig.host->answerApproval(helper.client->id(), ApprovalAnswer::allow));
  rig.settle();
  auto permissions = helper.connection->last<SessionPermissions>(MessageType::permissions);
  ASSERT_TRUE(permissions);
  EXPECT_TRUE(permissions->isSupportSession);
  // A second helper holds its hello back.
  auto lurker = rig.connect(std::nullopt, KeySource::supportCode);

  rig.host->endSupport();
  EXPECT_FALSE(rig.host->supportCode());
  EXPECT_EQ(helper.connection->byeReason(), "The support session ended.");
  EXPECT_EQ(lurker.connection->byeReason(), "The support session ended.");
  // Its hello in the grace admits nothing.
  HostRig::sayHello(lurker, "Lurker");
  rig.advance(seconds(1));
  EXPECT_FALSE(rig.listed(helper));
  EXPECT_FALSE(rig.listed(lurker));
  EXPECT_FALSE(lurker.client->wasAdmitted());
}

TEST_F(SupportSessionTest, OnlyTheSupportClientsLeavingEndsTheSession) {
  // An everyday client that says hello during a support session stays an everyday client.
  auto everyday = rig.connect();
  rig.host->startSupport();
  HostRig::sayHello(everyday, "Everyday");
  rig.settle();
  ASSERT_TRUE(everyday.client->authorized());
  auto permissions = everyday.connection->last<SessionPermissions>(MessageType::permissions);
  ASSERT_TRUE(permissions);
  EXPECT_FALSE(permissions->isSupportSession);
  // A support connection that fails on a wrong code is no participant either.
  rig.connect(std::nullopt, KeySource::supportCode).connection->fail(true);
  everyday.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_TRUE(rig.host->supportCode());

  auto helper = rig.join("Helper", std::nullopt, KeySource::supportCode);
  ASSERT_TRUE(rig.host->answerApproval(helper.client->id(), ApprovalAnswer::allow));
  rig.settle();
  helper.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_FALSE(rig.host->supportCode());
}

}  // namespace
}  // namespace ambrel::test
