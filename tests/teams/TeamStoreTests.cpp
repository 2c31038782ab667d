#include <gtest/gtest.h>

#include <map>

#include "CorvelKit/teams/PostgresTeamDatabase.h"
#include "CorvelKit/teams/SqliteTeamDatabase.h"
#include "CorvelKit/teams/TeamStore.h"
#include "tests/cloud/PostgresEnvironment.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::teams {
namespace {

using Actor = TeamStore::Actor;

test::PostgresServer& postgres() { return test::PostgresEnvironment::server(); }

// A database user for one person (users belong to the whole server: made once).
void createLogin(PostgresTeamDatabase& admin, const std::string& user) {
  ASSERT_TRUE(admin.query("DO $$ BEGIN CREATE ROLE " + user +
                          " LOGIN; EXCEPTION WHEN duplicate_object THEN NULL; END $$"));
}

TEST(TeamRole, RulesFollowTheTable) {
  using enum TeamRole;
  struct Row {
    TeamRole role;
    bool members, macs, viewAudit, clearAudit, team;
  };
  for (const auto& r : {Row{member, false, false, true, false, false}, Row{admin, true, true, true, false, false},
                        Row{owner, true, true, true, true, true}}) {
    SCOPED_TRACE(rawValue(r.role));
    EXPECT_EQ(canManageMembers(r.role), r.members);
    EXPECT_EQ(canManageMacs(r.role), r.macs);
    EXPECT_EQ(canViewAudit(r.role), r.viewAudit);
    EXPECT_EQ(canClearAudit(r.role), r.clearAudit);
    EXPECT_EQ(canManageTeam(r.role), r.team);
  }
  // canAssign / canManage: rows are the actor, columns member, admin, owner.
  const std::map<TeamRole, std::array<bool, 3>> assign = {
      {member, {false, false, false}}, {admin, {true, true, false}}, {owner, {true, true, true}}};
  const std::map<TeamRole, std::array<bool, 3>> manage = {
      {member, {false, false, false}}, {admin, {true, false, false}}, {owner, {true, true, true}}};
  for (auto actor : {member, admin, owner}) {
    for (auto [i, target] : {std::pair{0, member}, std::pair{1, admin}, std::pair{2, owner}}) {
      EXPECT_EQ(canAssign(actor, target), assign.at(actor)[static_cast<std::size_t>(i)]);
      EXPECT_EQ(canManage(actor, target), manage.at(actor)[static_cast<std::size_t>(i)]);
    }
  }
  EXPECT_EQ(title(admin), "Admin");
  EXPECT_EQ(teamRole("owner"), owner);
  EXPECT_FALSE(teamRole("Owner"));
  EXPECT_LT(member, admin);
  EXPECT_LT(admin, owner);
}

// The same rules against both backends; with PostgreSQL every person is a database user of
// their own, as in real use.
class TeamStoreTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam()) return;
    if (!postgres().isRunning()) GTEST_SKIP() << "no PostgreSQL: " << postgres().errors();
    static int databases = 0;
    admin_ = postgres().createDatabase("teams" + std::to_string(++databases));
    // The tables belong to the administrator, not to any member.
    auto prepared = TeamStore::open(admin_);
    ASSERT_TRUE(prepared) << prepared.error().message();
    PostgresTeamDatabase adminDatabase(admin_);
    for (const auto* user : {"alice", "bob", "carol", "dave"}) createLogin(adminDatabase, user);
  }

  bool postgresBackend() const { return GetParam(); }
  std::string location(const std::string& user) const {
    return postgresBackend() ? admin_ + " user=" + user : (folder_.path() / "Teams.sqlite").string();
  }
  TeamStore& as(const std::string& user) {
    auto& store = stores_[user];
    if (!store) {
      auto opened = TeamStore::open(location(user));
      EXPECT_TRUE(opened) << opened.error().message();
      if (opened) store = std::move(*opened);
    }
    return *store;
  }
  static Actor person(const std::string& name) { return {"FP-" + name, name}; }

  test::TemporaryFolder folder_;
  std::string admin_;
  std::map<std::string, std::unique_ptr<TeamStore>> stores_;
};

TEST_P(TeamStoreTest, OwnerInvitesAndRolesDecideWhoMayDoWhat) {
  const auto alice = person("alice"), bob = person("bob"), carol = person("carol"), dave = person("dave");
  auto team = as("alice").createTeam(alice, "Studio");
  ASSERT_TRUE(team) << team.error().message();

  // Invitations: the owner any role; an admin members and admins; a member none.
  auto forBob = as("alice").invite(alice, team->id, TeamRole::admin);
  ASSERT_TRUE(forBob);
  auto joined = as("bob").join(bob, *forBob);
  ASSERT_TRUE(joined) << joined.error().message();
  EXPECT_EQ(joined->role, TeamRole::admin);
  EXPECT_EQ(as("bob").join(bob, *forBob).error(), TeamError::invitationInvalid);  // once only
  EXPECT_EQ(as("bob").invite(bob, team->id, TeamRole::owner).error(), TeamError::notPermitted);
  auto forCarol = as("bob").invite(bob, team->id, TeamRole::member);
  ASSERT_TRUE(forCarol);
  ASSERT_TRUE(as("carol").join(carol, *forCarol));
  EXPECT_EQ(as("carol").invite(carol, team->id, TeamRole::member).error(), TeamError::notPermitted);
  EXPECT_EQ(as("dave").join(dave, "no such token").error(), TeamError::notFound);

  // Roles: an admin manages members only and never makes owners; the last owner stays.
  EXPECT_EQ(as("bob").setRole(bob, team->id, carol.identity, TeamRole::owner), TeamError::notPermitted);
  EXPECT_FALSE(as("bob").setRole(bob, team->id, carol.identity, TeamRole::admin));
  EXPECT_EQ(as("bob").setRole(bob, team->id, carol.identity, TeamRole::member), TeamError::notPermitted);
  EXPECT_EQ(as("carol").setRole(carol, team->id, bob.identity, TeamRole::member), TeamError::notPermitted);
  EXPECT_EQ(as("alice").setRole(alice, team->id, alice.identity, TeamRole::admin), TeamError::lastOwner);
  EXPECT_EQ(as("alice").removeMember(alice, team->id, alice.identity), TeamError::lastOwner);
  EXPECT_EQ(as("alice").setRole(alice, team->id, "FP-nobody", TeamRole::admin), TeamError::notFound);
  EXPECT_FALSE(as("alice").setRole(alice, team->id, carol.identity, TeamRole::member));
  EXPECT_EQ(as("dave").state(dave, team->id).error(), TeamError::notPermitted);

  auto state = as("carol").state(carol, team->id);
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->amOwner);
  EXPECT_EQ(state->team->name, "Studio");
  EXPECT_EQ(state->role(alice.identity), TeamRole::owner);
  EXPECT_EQ(state->role(bob.identity), TeamRole::admin);
  EXPECT_EQ(state->role(carol.identity), TeamRole::member);
  EXPECT_EQ(state->members.size(), 3u);
  EXPECT_TRUE(as("alice").state(alice, team->id)->amOwner);

  EXPECT_FALSE(as("bob").removeMember(bob, team->id, carol.identity));
  EXPECT_EQ(as("carol").state(carol, team->id).error(), TeamError::notPermitted);
  ASSERT_TRUE(as("carol").teams(carol));
  EXPECT_TRUE(as("carol").teams(carol)->empty());
  EXPECT_EQ(as("bob").teams(bob)->size(), 1u);
}

TEST_P(TeamStoreTest, ComputersReachOnlyTheirMembersAndTheAuditFollows) {
  const auto alice = person("alice"), bob = person("bob"), carol = person("carol");
  auto team = as("alice").createTeam(alice, "Office");
  ASSERT_TRUE(team);
  for (const auto& [who, user] : {std::pair{bob, "bob"}, std::pair{carol, "carol"}}) {
    auto token = as("alice").invite(alice, team->id, TeamRole::member);
    ASSERT_TRUE(token);
    ASSERT_TRUE(as(user).join(who, *token));
  }
  ASSERT_TRUE(as("alice").shareMac(alice, team->id, "MAC-1", "Front Desk"));
  ASSERT_TRUE(as("alice").shareMac(alice, team->id, "MAC-2", "Server", {bob.identity}));
  EXPECT_EQ(as("bob").shareMac(bob, team->id, "MAC-3", "Mine").error(), TeamError::notPermitted);

  auto state = as("carol").state(carol, team->id);
  ASSERT_TRUE(state);
  ASSERT_EQ(state->macsReachableBy(carol.identity).size(), 1u);
  EXPECT_EQ(state->macsReachableBy(carol.identity)[0].macName, "Front Desk");
  EXPECT_EQ(state->macsReachableBy(bob.identity).size(), 2u);

  ASSERT_TRUE(as("bob").recordConnect(bob, team->id, "MAC-2"));
  EXPECT_EQ(as("carol").recordConnect(carol, team->id, "MAC-2").error(), TeamError::notPermitted);
  auto event = as("carol").recordConnect(carol, team->id, "MAC-1");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->summary(), "carol connected to Front Desk");
  EXPECT_EQ(as("carol").recordConnect(carol, team->id, "MAC-9").error(), TeamError::notFound);

  // Opening the server to everyone lets carol in.
  EXPECT_EQ(as("bob").setAccess(bob, team->id, "MAC-2", {}), TeamError::notPermitted);
  EXPECT_FALSE(as("alice").setAccess(alice, team->id, "MAC-2", {}));
  EXPECT_TRUE(as("carol").recordConnect(carol, team->id, "MAC-2"));

  auto log = as("bob").audit(bob, team->id);
  ASSERT_TRUE(log);
  ASSERT_EQ(log->size(), 3u);
  EXPECT_EQ((*log)[2].summary(), "bob connected to Server");  // newest first
  EXPECT_EQ(as("bob").clearAudit(bob, team->id), TeamError::notPermitted);
  EXPECT_FALSE(as("alice").clearAudit(alice, team->id));
  EXPECT_TRUE(as("carol").audit(carol, team->id)->empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, TeamStoreTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

// PostgreSQL's own rules: whatever SQL a member sends, another owner's team stays out of reach.
TEST(PostgresTeamRules, MembersSeeAndChangeOnlyWhatTheirRoleAllows) {
  if (!postgres().isRunning()) GTEST_SKIP() << "no PostgreSQL: " << postgres().errors();
  const auto admin = postgres().createDatabase("teamrules");
  ASSERT_TRUE(TeamStore::open(admin));
  PostgresTeamDatabase adminDatabase(admin);
  for (const auto* user : {"erin", "frank", "grace"}) createLogin(adminDatabase, user);
  auto open = [&](const std::string& user) { return *TeamStore::open(admin + " user=" + user); };
  auto erin = open("erin");
  auto frank = open("frank");
  const Actor e{"FP-erin", "erin"}, f{"FP-frank", "frank"}, g{"FP-grace", "grace"};
  auto erinsTeam = erin->createTeam(e, "Erin's");
  auto franksTeam = frank->createTeam(f, "Frank's");
  ASSERT_TRUE(erinsTeam && franksTeam);
  ASSERT_TRUE(erin->shareMac(e, erinsTeam->id, "MAC-E", "Erin's Mac"));
  auto token = erin->invite(e, erinsTeam->id, TeamRole::member);
  ASSERT_TRUE(token);

  // Frank, going round the store's API, reads nothing of Erin's team.
  PostgresTeamDatabase raw(admin + " user=frank");
  for (const char* table : {"ambrel_teams", "ambrel_team_members", "ambrel_shared_macs", "ambrel_team_invitations"}) {
    auto rows = raw.query(std::string("SELECT team_id FROM ") + (std::string(table) == "ambrel_teams" ? "(SELECT id AS team_id FROM ambrel_teams) t" : table));
    ASSERT_TRUE(rows) << table;
    for (const auto& row : *rows) EXPECT_EQ(row[0], franksTeam->id) << table;
  }
  // Nor does he write into it: not as a member, not as a computer, not by claiming an identity.
  EXPECT_EQ(raw.query("INSERT INTO ambrel_team_members VALUES ('x', $1, 'FP-frank', 'frank', 'owner', 0, 'frank')",
                      {erinsTeam->id}).error(),
            TeamError::notPermitted);
  EXPECT_EQ(raw.query("INSERT INTO ambrel_shared_macs VALUES ('y', $1, 'MAC-F', 'F', '[]', 0)", {erinsTeam->id}).error(),
            TeamError::notPermitted);
  ASSERT_TRUE(raw.query("UPDATE ambrel_team_members SET role = 'member' WHERE team_id = $1", {erinsTeam->id}));
  EXPECT_EQ(erin->state(e, erinsTeam->id)->role(e.identity), TeamRole::owner);  // nothing was touched

  // Grace joins as a member: she sees the team, but can't promote herself or clear the log.
  auto grace = open("grace");
  ASSERT_TRUE(grace->join(g, *token));
  PostgresTeamDatabase graceRaw(admin + " user=grace");
  auto seen = graceRaw.query("SELECT mac_name FROM ambrel_shared_macs");
  ASSERT_TRUE(seen);
  ASSERT_EQ(seen->size(), 1u);
  EXPECT_EQ((*seen)[0][0], "Erin's Mac");
  ASSERT_TRUE(graceRaw.query("UPDATE ambrel_team_members SET role = 'owner' WHERE identity = 'FP-grace'"));
  EXPECT_EQ(erin->state(e, erinsTeam->id)->role(g.identity), TeamRole::member);
  ASSERT_TRUE(grace->recordConnect(g, erinsTeam->id, "MAC-E"));
  ASSERT_TRUE(graceRaw.query("DELETE FROM ambrel_audit_events"));
  EXPECT_EQ(erin->audit(e, erinsTeam->id)->size(), 1u);
  // The invitation tokens are stored only as hashes.
  auto stored = PostgresTeamDatabase(admin).query("SELECT token_hash FROM ambrel_team_invitations");
  ASSERT_TRUE(stored);
  for (const auto& row : *stored) EXPECT_NE(row[0], *token);
}

}  // namespace
}  // namespace corvel::teams
