#include <gtest/gtest.h>

#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/protocol/HostStatus.h"
#include "tests/support/FakeEventPoster.h"
#include "tests/support/HostHarness.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::protocol::MessageType;
using test::HostHarness;
using test::TestDevice;
using Kind = SessionHistory::Kind;

constexpr const char* kDeclined = R"({"reason":"The Mac's owner declined the connection."})";

class SessionTest : public ::testing::Test {
 protected:
  HostHarness harness;
  std::string code = harness.onMain([&] { return harness.host->accessCode(); });

  std::unique_ptr<TestDevice> device(const std::string& name, std::optional<std::string> c = {}) {
    auto d = std::make_unique<TestDevice>(name, c.value_or(code));
    EXPECT_TRUE(d->waitReady()) << name;
    return d;
  }
  void setAsk(bool on) {
    harness.onMain([&] {
      harness.host->set(Setting::askBeforeConnecting, on);
      return 0;
    });
  }
  std::vector<SessionHistory::Entry> history() {
    return harness.onMain([&] { return harness.history->entries(); });
  }
  std::shared_ptr<RemoteClient> clientNamed(const std::string& name) {
    return harness.onMain([&] {
      for (auto& c : harness.host->clients())
        if (c->displayName() == name) return c;
      return std::shared_ptr<RemoteClient>();
    });
  }
  bool answer(const std::string& name, ApprovalAnswer a) {
    auto c = clientNamed(name);
    return c && harness.onMain([&] { return harness.host->answerApproval(c->id(), a); });
  }
  bool waitingForApproval(const std::string& name) {
    return harness.waitFor([&] {
      return harness.onMain([&] {
        for (auto& c : harness.host->pendingApprovals())
          if (c->displayName() == name) return true;
        return false;
      });
    });
  }
};

TEST_F(SessionTest, WithoutAskingAClientIsAdmittedAndRecorded) {
  setAsk(false);
  auto ipad = device("iPad");
  ipad->sendHello();
  auto ack = ipad->waitForMessage(MessageType::helloAck);
  ASSERT_TRUE(ack);
  EXPECT_NE(ack->find(R"("hostName":"Test Host")"), std::string::npos);
  EXPECT_EQ(ipad->waitForMessage(MessageType::permissions),
            R"({"canControl":true,"isSupportSession":false})");
  EXPECT_TRUE(harness.notifier->saw("iPad connected"));
  auto entries = history();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].device, "iPad");
  EXPECT_EQ(entries[0].kind, Kind::control);

  ipad->connection->sendJSON(MessageType::bye, corvel::protocol::Bye{"bye"});
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  entries = history();
  EXPECT_EQ(entries[0].outcome, "Ended on iPad");
  EXPECT_TRUE(harness.notifier->saw("iPad disconnected"));
}

TEST_F(SessionTest, AskingWaitsForTheAnswerAndDenialIsRecorded) {
  auto first = device("First");
  first->sendHello();
  ASSERT_TRUE(waitingForApproval("First"));
  EXPECT_TRUE(harness.notifier->saw("Allow First to control this computer?"));
  // Pings are answered while the question is open; nothing else comes.
  first->connection->send(MessageType::ping, corvel::asBytes("p1"));
  EXPECT_EQ(first->waitForMessage(MessageType::pong), "p1");
  EXPECT_FALSE(first->heard(MessageType::helloAck));
  ASSERT_TRUE(answer("First", ApprovalAnswer::allow));
  EXPECT_TRUE(first->waitForMessage(MessageType::helloAck));

  auto second = device("Second");
  second->sendHello();
  ASSERT_TRUE(waitingForApproval("Second"));
  ASSERT_TRUE(answer("Second", ApprovalAnswer::deny));
  EXPECT_EQ(second->waitForMessage(MessageType::bye), kDeclined);
  harness.advance(1s);
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 1; }));
  auto entries = history();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[0].kind, Kind::declined);
  EXPECT_EQ(entries[0].device, "Second");

  // A client that leaves while asked about is not admitted by a late answer.
  auto third = device("Third");
  third->sendHello();
  ASSERT_TRUE(waitingForApproval("Third"));
  auto gone = clientNamed("Third");
  third->connection->cancel();
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 1; }));
  EXPECT_FALSE(harness.onMain([&] { return harness.host->answerApproval(gone->id(), ApprovalAnswer::allow); }));
}

TEST_F(SessionTest, OwnerTokenAdmitsAndTrustsUntilForgotten) {
  auto token = harness.onMain([&] { return harness.host->iCloudAuthToken(); });
  {
    auto phone = device("Phone");
    phone->sendHello(token);
    ASSERT_TRUE(phone->waitForMessage(MessageType::helloAck));
    auto trusted = harness.onMain([&] { return harness.host->trustedDevices(); });
    ASSERT_EQ(trusted.size(), 1u);
    EXPECT_EQ(trusted[0].id, phone->fingerprint());
    EXPECT_EQ(trusted[0].name, "Phone");
    phone->connection->cancel();
    ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  }
  {
    // Trusted by its proved identity: no token needed, no question.
    auto phone = device("Phone");
    phone->sendHello();
    EXPECT_TRUE(phone->waitForMessage(MessageType::helloAck));
    phone->connection->cancel();
    ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  }
  auto id = TestDevice("Phone", code).fingerprint();
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  ASSERT_TRUE(harness.onMain([&] { return harness.host->forgetTrustedDevice(id); }));
  auto phone = device("Phone");
  phone->sendHello("not the token");
  EXPECT_TRUE(waitingForApproval("Phone"));

  // The trusted list persists as the settings say.
  auto stored = harness.onMain([&] { return harness.host->settings().trustedDevices(); });
  EXPECT_TRUE(stored.empty());
}

TEST_F(SessionTest, ANewCodeRetiresTheOldOwnerToken) {
  auto oldToken = harness.onMain([&] { return harness.host->iCloudAuthToken(); });
  auto newCode = harness.onMain([&] {
    harness.host->regenerateAccessCode();
    return harness.host->accessCode();
  });
  EXPECT_NE(harness.onMain([&] { return harness.host->iCloudAuthToken(); }), oldToken);
  auto tablet = device("Tablet", newCode);
  tablet->sendHello(oldToken);
  EXPECT_TRUE(waitingForApproval("Tablet"));
  EXPECT_TRUE(harness.onMain([&] { return harness.host->trustedDevices().empty(); }));
}

TEST_F(SessionTest, SecondConnectionInheritsViewOnly) {
  setAsk(false);
  auto first = device("Laptop");
  first->sendHello();
  ASSERT_TRUE(first->waitForMessage(MessageType::helloAck));
  auto c = clientNamed("Laptop");
  harness.onMain([&] {
    harness.host->setCanControl(c, false);
    harness.host->set(Setting::askBeforeConnecting, true);
    return 0;
  });
  // The same identity again: admitted without asking, view only.
  auto second = std::make_unique<TestDevice>("Laptop", code);
  second->connection->cancel();
  second.reset();
  TestDevice again("Laptop", code);
  ASSERT_TRUE(again.waitReady());
  again.sendHello();
  EXPECT_EQ(again.waitForMessage(MessageType::permissions),
            R"({"canControl":false,"isSupportSession":false})");
}

TEST_F(SessionTest, StoppedDeviceMustWaitTwoMinutes) {
  setAsk(false);
  {
    auto tablet = device("Tablet");
    tablet->sendHello();
    ASSERT_TRUE(tablet->waitForMessage(MessageType::helloAck));
    EXPECT_EQ(harness.onMain([&] { return harness.host->disconnectEveryone("Disconnected by the host."); }), 1);
    EXPECT_EQ(tablet->waitForMessage(MessageType::bye), R"({"reason":"Disconnected by the host."})");
    // The client says bye too: the host's reason stays the outcome.
    tablet->connection->sendJSON(MessageType::bye, corvel::protocol::Bye{"leaving"});
    harness.advance(1s);
    ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
    EXPECT_EQ(history()[0].outcome, "Disconnected by the host.");
  }
  {
    auto tablet = device("Tablet");
    tablet->sendHello();
    EXPECT_EQ(tablet->waitForMessage(MessageType::bye), R"({"reason":"The session was stopped at the computer."})");
    EXPECT_FALSE(tablet->heard(MessageType::helloAck));
    harness.advance(1s);
  }
  harness.advance(120s, 10s);
  auto tablet = device("Tablet");
  tablet->sendHello();
  EXPECT_TRUE(tablet->waitForMessage(MessageType::helloAck));
}

TEST_F(SessionTest, SupportCodeReplacesTheAccessCodeUntilItsClientLeaves) {
  setAsk(false);
  auto support = harness.onMain([&] {
    harness.host->startSupport();
    return *harness.host->supportCode();
  });
  {
    TestDevice everyday("Everyday", code);
    ASSERT_TRUE(everyday.waitEnded());
    EXPECT_TRUE(everyday.events.last().tlsFailure);
  }
  auto helper = device("Helper", support);
  helper->sendHello();
  ASSERT_TRUE(waitingForApproval("Helper"));  // asked even with asking off
  ASSERT_TRUE(answer("Helper", ApprovalAnswer::allow));
  EXPECT_EQ(helper->waitForMessage(MessageType::permissions),
            R"({"canControl":true,"isSupportSession":true})");
  EXPECT_EQ(history()[0].kind, Kind::support);

  helper->connection->cancel();
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  EXPECT_FALSE(harness.onMain([&] { return harness.host->supportCode().has_value(); }));
  auto back = device("Back");  // the everyday code works again
  EXPECT_TRUE(back->connection->isSecure());
}

TEST_F(SessionTest, SilentViewersAreDroppedAndIdleOnesStopped) {
  setAsk(false);
  harness.onMain([&] {
    harness.host->set(Setting::idleTimeoutMinutes, 5);
    return 0;
  });
  auto quiet = device("Quiet");
  quiet->sendHello();
  ASSERT_TRUE(quiet->waitForMessage(MessageType::helloAck));
  harness.advance(20s);
  EXPECT_EQ(harness.clientCount(), 1u);
  harness.advance(6s);
  ASSERT_TRUE(harness.waitFor([&] { return harness.clientCount() == 0; }));
  EXPECT_EQ(history()[0].outcome, "No response for 20 seconds");

  // A viewer that only pings stays, until five minutes without input.
  auto watcher = device("Watcher");
  watcher->sendHello();
  ASSERT_TRUE(watcher->waitForMessage(MessageType::helloAck));
  for (int s = 0; s < 300; s += 10) {
    watcher->connection->send(MessageType::ping, {});
    ASSERT_TRUE(harness.waitFor([&] {
      std::lock_guard lock(watcher->events.mutex);
      return std::count_if(watcher->events.messages.begin(), watcher->events.messages.end(),
                           [](auto& m) { return m.first == MessageType::pong; }) == s / 10 + 1;
    }));
    harness.advance(10s, 5s);
  }
  harness.advance(10s, 5s);
  EXPECT_EQ(watcher->waitForMessage(MessageType::bye),
            R"({"reason":"Disconnected after 5 minutes of no activity."})");
}

TEST_F(SessionTest, QuitSaysGoodbyeToEveryone) {
  auto a = device("A");
  auto b = device("B");
  a->sendHello();
  b->sendHello();
  ASSERT_TRUE(waitingForApproval("A"));
  ASSERT_TRUE(waitingForApproval("B"));
  harness.onMain([&] {
    harness.host->shutdown();
    return 0;
  });
  for (auto* d : {a.get(), b.get()}) {
    EXPECT_EQ(d->waitForMessage(MessageType::bye), R"({"reason":"Ambrel Host quit."})") << d->name;
  }
}

TEST_F(SessionTest, CloudActionsActAndTellThePersonAtTheComputer) {
  auto before = code;
  auto ipad = device("iPad");
  ipad->sendHello();
  ASSERT_TRUE(waitingForApproval("iPad"));  // the host's side of the channel is up too
  harness.onMain([&] {
    harness.host->performCloudAction(corvel::net::CloudAction::disconnectAll, "Phone");
    return 0;
  });
  EXPECT_EQ(ipad->waitForMessage(MessageType::bye), R"({"reason":"Disconnected from Phone"})");
  EXPECT_TRUE(harness.notifier->saw("Disconnect Everyone"));
  harness.onMain([&] {
    harness.host->performCloudAction(corvel::net::CloudAction::newCode, "Phone");
    return 0;
  });
  EXPECT_NE(harness.onMain([&] { return harness.host->accessCode(); }), before);
  std::lock_guard lock(harness.notifier->mutex);
  EXPECT_EQ(harness.notifier->posted.back(),
            (std::pair<std::string, std::string>{"New Access Code", "Requested from Phone"}));
}

class DispatchTest : public ::testing::Test {
 protected:
  test::FakeEventPoster* poster = nullptr;
  std::shared_ptr<InputInjector> injector;
  std::unique_ptr<HostHarness> harness;

  void SetUp() override {
    auto fake = std::make_unique<test::FakeEventPoster>();
    poster = fake.get();
    injector = InputInjector::create(std::move(fake), {});
    HostServices services;
    services.input = injector;
    harness = std::make_unique<HostHarness>(std::move(services));
    harness->onMain([&] {
      harness->host->set(Setting::askBeforeConnecting, false);
      return 0;
    });
  }
  std::vector<std::string> posted() {
    std::promise<std::vector<std::string>> p;
    injector->queue().post([&] { p.set_value(poster->take()); });
    return p.get_future().get();
  }
};

TEST_F(DispatchTest, InputReachesTheInjectorOnlyFromControllingClients) {
  auto code = harness->onMain([&] { return harness->host->accessCode(); });
  TestDevice d("Pad", code);
  ASSERT_TRUE(d.waitReady());
  corvel::protocol::InputEvent move{corvel::protocol::input_event::MouseMove{0.5, 0.5}};
  d.connection->sendJSON(MessageType::input, move);  // before admission: dropped
  d.sendHello();
  ASSERT_TRUE(d.waitForMessage(MessageType::permissions));
  d.connection->sendJSON(MessageType::input, move);
  ASSERT_TRUE(harness->waitFor([&] { return !posted().empty(); }));

  auto c = harness->onMain([&] { return harness->host->clients()[0]; });
  harness->onMain([&] {
    harness->host->setCanControl(c, false);
    return 0;
  });
  posted();
  harness->advance(15s);
  d.connection->sendJSON(MessageType::input, move);
  d.connection->send(MessageType::ping, {});
  ASSERT_TRUE(d.waitForMessage(MessageType::pong));
  EXPECT_TRUE(posted().empty());
  // Still heard: past the silence limit counted from the first message, the viewer stays.
  harness->advance(10s);
  EXPECT_EQ(harness->clientCount(), 1u);

  // Undecodable payloads and unknown types change nothing.
  d.connection->send(MessageType::input, corvel::asBytes("{not json"));
  d.connection->send(MessageType::selectDisplay, corvel::asBytes(R"({"displayID":424242})"));
  d.connection->send(MessageType::invalid, corvel::asBytes("junk"));
  d.connection->send(MessageType::ping, corvel::asBytes("still here"));
  EXPECT_TRUE(harness->waitFor([&] { return d.events.messages.size() >= 4; }));
  EXPECT_EQ(harness->clientCount(), 1u);
  EXPECT_EQ(c->displayID(), 0u);
}

}  // namespace
}  // namespace ambrel
