#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::teams {
namespace {

using namespace std::chrono_literals;

const std::string kCorvel = std::string(CORVEL_BIN_DIR) + "/corvel";

// Two people, each with a home (and so an identity) of their own, sharing one team database.
struct Person {
  test::TemporaryFolder home;
  std::string name;

  std::pair<std::optional<int>, std::string> team(const std::filesystem::path& database, std::vector<std::string> args) {
    args.insert(args.begin(), "team");
    args.insert(args.end(), {"--database", database.string(), "--name", name});
    test::ChildProcess run(kCorvel, std::move(args), {{"AMBREL_HOME", home.path().string()}});
    auto status = run.wait(30s);
    return {status, run.output() + run.errors()};
  }
};

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(TeamCommand, CreateInviteJoinListAndAudit) {
  test::TemporaryFolder shared;
  const auto database = shared.path() / "Teams.sqlite";
  Person owner{{}, "Olivia"};
  Person guest{{}, "Gus"};

  auto [created, teamID] = owner.team(database, {"create", "Front Office"});
  ASSERT_EQ(created, 0) << teamID;
  teamID = firstLine(teamID);
  auto [invited, token] = owner.team(database, {"invite", teamID, "member"});
  ASSERT_EQ(invited, 0) << token;
  token = firstLine(token);
  EXPECT_EQ(guest.team(database, {"join", token}).first, 0);
  EXPECT_EQ(guest.team(database, {"join", token}).first, 1);  // used

  auto [listed, members] = guest.team(database, {"list", teamID});
  EXPECT_EQ(listed, 0);
  EXPECT_NE(members.find("Owner"), std::string::npos) << members;
  EXPECT_NE(members.find("Member"), std::string::npos) << members;
  EXPECT_NE(members.find("Olivia"), std::string::npos) << members;

  // A member may not share computers or invite; the owner may.
  auto [refused, why] = guest.team(database, {"share", teamID, "MAC-1", "Reception"});
  EXPECT_EQ(refused, 1);
  EXPECT_NE(why.find("role"), std::string::npos) << why;
  EXPECT_EQ(guest.team(database, {"invite", teamID}).first, 1);
  EXPECT_EQ(owner.team(database, {"share", teamID, "MAC-1", "Reception"}).first, 0);
  EXPECT_EQ(guest.team(database, {"connect", teamID, "MAC-1"}).first, 0);

  auto [audited, log] = owner.team(database, {"audit", teamID});
  EXPECT_EQ(audited, 0);
  EXPECT_NE(log.find("Gus connected to Reception"), std::string::npos) << log;
  EXPECT_EQ(guest.team(database, {"audit", teamID, "--clear"}).first, 1);
  EXPECT_EQ(owner.team(database, {"audit", teamID, "--clear"}).first, 0);
  EXPECT_EQ(owner.team(database, {"frobnicate"}).first, 64);
}

}  // namespace
}  // namespace corvel::teams
