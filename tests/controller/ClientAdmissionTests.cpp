#include <gtest/gtest.h>

#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/SessionPermissions.h"
#include "CorvelKit/security/Keychain.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::ClientRole;
using corvel::protocol::MessageType;
using corvel::protocol::SessionPermissions;

const std::string kPhone = "AAAA 1111 AAAA 1111 AAAA 1111 AAAA 1111";
const std::string kLaptop = "BBBB 2222 BBBB 2222 BBBB 2222 BBBB 2222";

bool waiting(HostRig& rig, const HostRig::Peer& p) {
  auto pending = rig.host->pendingApprovals();
  return std::find(pending.begin(), pending.end(), p.client) != pending.end();
}

// What a hello leads to, by what the device proves and what the host knows of it.
TEST(ClientAdmissionTest, TheDecisionFollowsIdentityTokenTrustAndSettings) {
  struct Case {
    const char* what;
    bool ask;
    std::optional<std::string> fingerprint;
    bool trusted;
    bool ownerToken;
    KeySource source;
    bool admitted;
    bool trustedAfter;
  };
  const Case cases[] = {
      {"not asking", false, kPhone, false, false, KeySource::accessCode, true, false},
      {"asking", true, kPhone, false, false, KeySource::accessCode, false, false},
      {"trusted device", true, kPhone, true, false, KeySource::accessCode, true, true},
      {"owner token", true, kPhone, false, true, KeySource::accessCode, true, true},
      {"owner token, identity unknown", true, std::nullopt, false, true, KeySource::accessCode, true, false},
      {"support, not asking", false, kPhone, false, false, KeySource::supportCode, false, false},
      {"support, trusted", false, kPhone, true, false, KeySource::supportCode, false, true},
      {"support, owner token", false, kPhone, false, true, KeySource::supportCode, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HostRig rig;
    ASSERT_FALSE(rig.host->set(Setting::askBeforeConnecting, c.ask));
    if (c.trusted) rig.host->admission().trustDevice({kPhone, "Phone", {}});
    auto token = c.ownerToken ? std::optional(rig.host->iCloudAuthToken()) : std::nullopt;
    auto p = rig.join("Phone", c.fingerprint, c.source, token);

    EXPECT_EQ(p.client->authorized(), c.admitted);
    EXPECT_EQ(p.connection->count(MessageType::helloAck), c.admitted ? 1 : 0);
    EXPECT_EQ(waiting(rig, p), !c.admitted);
    const auto& trusted = rig.host->trustedDevices();
    EXPECT_EQ(!trusted.empty(), c.trustedAfter);
    if (c.admitted) {
      auto permissions = p.connection->last<SessionPermissions>(MessageType::permissions);
      ASSERT_TRUE(permissions);
      EXPECT_TRUE(permissions->canControl);
      EXPECT_FALSE(permissions->isSupportSession);
      EXPECT_EQ(rig.history->lines, std::vector<std::string>{"start Phone"});
      EXPECT_TRUE(rig.notifier->saw("Phone connected"));
      EXPECT_TRUE(rig.streams->isAttached(*p.client));
      EXPECT_TRUE(rig.host->isStreaming());
    } else {
      EXPECT_TRUE(rig.notifier->saw("Allow Phone to control this computer?"));
    }
  }
}

TEST(ClientAdmissionTest, AnswersAdmitTrustOrTurnAway) {
  HostRig rig;
  auto allowed = rig.join("Allowed", kPhone);
  auto always = rig.join("Always", kLaptop);
  auto denied = rig.join("Denied");
  EXPECT_EQ(rig.host->approvingClientID(), allowed.client->id());

  EXPECT_TRUE(rig.host->answerApproval(allowed.client->id(), ApprovalAnswer::allow));
  EXPECT_TRUE(rig.host->answerApproval(always.client->id(), ApprovalAnswer::alwaysAllow));
  EXPECT_TRUE(rig.host->answerApproval(denied.client->id(), ApprovalAnswer::deny));
  EXPECT_FALSE(rig.host->answerApproval(denied.client->id(), ApprovalAnswer::allow));  // answered
  rig.settle();

  EXPECT_TRUE(allowed.client->authorized());
  EXPECT_TRUE(always.client->authorized());
  ASSERT_EQ(rig.host->trustedDevices().size(), 1u);
  EXPECT_EQ(rig.host->trustedDevices()[0].id, kLaptop);
  EXPECT_FALSE(denied.client->authorized());
  EXPECT_EQ(denied.connection->byeReason(), "The Mac's owner declined the connection.");
  rig.advance(std::chrono::seconds(1));
  EXPECT_FALSE(rig.listed(denied));
  EXPECT_EQ(rig.history->lines,
            (std::vector<std::string>{"start Allowed", "start Always", "declined Denied"}));

  // A forgotten device is asked again (once its first connection is gone: a second one would
  // inherit).
  always.connection->deliver(MessageType::bye, {});
  rig.settle();
  EXPECT_TRUE(rig.host->forgetTrustedDevice(kLaptop));
  auto again = rig.join("Always", kLaptop);
  EXPECT_FALSE(again.client->authorized());
  EXPECT_TRUE(waiting(rig, again));
}

TEST(ClientAdmissionTest, ASecondConnectionOfAnAdmittedDeviceInheritsItsControl) {
  HostRig rig;
  rig.host->set(Setting::askBeforeConnecting, false);
  auto first = rig.join("Phone", kPhone);
  rig.host->setCanControl(first.client, false);
  rig.host->set(Setting::askBeforeConnecting, true);

  auto second = rig.join("Phone", kPhone);
  EXPECT_TRUE(second.client->authorized());
  EXPECT_FALSE(second.client->canControl());
  auto permissions = second.connection->last<SessionPermissions>(MessageType::permissions);
  ASSERT_TRUE(permissions);
  EXPECT_FALSE(permissions->canControl);
  // A screen sharer of the same device is no second viewer connection.
  auto sharer = rig.join("Phone", kPhone, KeySource::accessCode, {}, ClientRole::screenSharer);
  EXPECT_TRUE(waiting(rig, sharer));
  EXPECT_TRUE(rig.notifier->saw("Show Phone's screen on this computer?"));
}

TEST(ClientAdmissionTest, ADeviceStoppedHereWaitsTwoMinutes) {
  HostRig rig;
  rig.host->set(Setting::askBeforeConnecting, false);
  auto p = rig.join("Phone", kPhone);
  rig.host->stopClient(p.client, "Disconnected by the host.");
  rig.advance(std::chrono::seconds(1));

  auto back = rig.join("Phone", kPhone);
  EXPECT_FALSE(back.client->authorized());
  EXPECT_EQ(back.connection->byeReason(), "The session was stopped at the computer.");
  // Another device is not held back.
  EXPECT_TRUE(rig.join("Laptop", kLaptop).client->authorized());

  rig.advance(std::chrono::seconds(120));
  EXPECT_TRUE(rig.join("Phone", kPhone).client->authorized());
}

TEST(ClientAdmissionTest, AStoppedClientIsNeverAdmittedDuringItsGrace) {
  HostRig rig;
  // Waiting for an answer when everyone is disconnected: the late answer admits nobody.
  auto asked = rig.join("Asked", kPhone);
  // Connected, hello still to come, when a new code is made.
  auto early = rig.connect(kLaptop);
  rig.host->set(Setting::askBeforeConnecting, false);
  rig.host->regenerateAccessCode();
  rig.settle();

  EXPECT_FALSE(rig.host->answerApproval(asked.client->id(), ApprovalAnswer::allow));
  HostRig::sayHello(early, "Early");
  rig.settle();
  for (const auto* p : {&asked, &early}) {
    EXPECT_FALSE(p->client->authorized());
    EXPECT_EQ(p->connection->count(MessageType::helloAck), 0);
    EXPECT_EQ(p->connection->byeReason(), "The access code was changed.");
  }
  rig.advance(std::chrono::seconds(1));
  EXPECT_TRUE(rig.host->clients().empty());
  EXPECT_TRUE(rig.history->lines.empty());
}

TEST(ClientAdmissionTest, AnEmptyOwnerTokenAdmitsNobody) {
  // A keychain holding an empty token: the host makes a new one, and a hello with an empty
  // token proves nothing either way.
  HostRig restarted({[] {
    ASSERT_TRUE(corvel::security::Keychain::set("", AccessSecrets::ownerTokenAccount,
                                                AccessSecrets::keychainService, false));
  }});
  EXPECT_FALSE(restarted.host->iCloudAuthToken().empty());
  auto p = restarted.join("Phone", kPhone, KeySource::accessCode, std::string());
  EXPECT_FALSE(p.client->authorized());
  EXPECT_TRUE(waiting(restarted, p));
  EXPECT_TRUE(restarted.host->trustedDevices().empty());
}

TEST(ClientAdmissionTest, RepeatedOrUndecodableHellosAreIgnored) {
  HostRig rig;
  auto p = rig.connect(kPhone);
  p.connection->deliver(MessageType::hello, corvel::Bytes{'{', 'x'});
  rig.settle();
  EXPECT_FALSE(p.client->hello());
  HostRig::sayHello(p, "Phone");
  HostRig::sayHello(p, "Someone else");
  rig.settle();
  EXPECT_EQ(p.client->displayName(), "Phone");
  EXPECT_EQ(rig.host->pendingApprovals().size(), 1u);
}

TEST(ClientAdmissionTest, FiveWrongCodesBlockTheAddress) {
  HostRig rig;
  for (int i = 0; i < 5; ++i) {
    auto p = rig.connect();
    p.connection->fail(/*wrongCode=*/true);
    rig.settle();
  }
  EXPECT_TRUE(rig.notifier->saw("Blocked repeated wrong codes"));
  EXPECT_TRUE(rig.host->admission().isBlocked("192.168.1.20"));
  EXPECT_EQ(rig.history->lines.size(), 5u);
  EXPECT_TRUE(rig.host->clients().empty());
  rig.advance(std::chrono::seconds(900), std::chrono::seconds(60));
  EXPECT_FALSE(rig.host->admission().isBlocked("192.168.1.20"));
}

// Four wrong codes in, the source may have one more guess under way, not several at once; a
// source that never failed still connects many devices at a time.
TEST(ClientAdmissionTest, ASourceNearItsLimitGetsOneGuessAtATime) {
  HostRig rig;
  for (int i = 0; i < 4; ++i) {
    rig.connect().connection->fail(/*wrongCode=*/true);
    rig.settle();
  }
  auto fifth = rig.connect();
  ASSERT_TRUE(rig.listed(fifth));
  auto sixth = rig.connect();
  EXPECT_FALSE(rig.listed(sixth));
  fifth.connection->fail(/*wrongCode=*/true);
  rig.settle();
  EXPECT_TRUE(rig.host->admission().isBlocked("192.168.1.20"));

  std::vector<HostRig::Peer> office;
  for (int i = 0; i < 6; ++i) office.push_back(rig.connect(std::nullopt, KeySource::accessCode, "10.1.1.1"));
  for (const auto& p : office) EXPECT_TRUE(rig.listed(p));
}

}  // namespace
}  // namespace ambrel::test
