#include "CorvelKit/teams/TeamStore.h"

#include <algorithm>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/RandomBytes.h"

namespace corvel::teams {

namespace {

auto& log() { return Log::core("teams"); }

using Failure = Unexpected<std::error_code>;
Failure fail(TeamError e) { return Failure{make_error_code(e)}; }

double number(const std::optional<std::string>& text) { return text ? std::strtod(text->c_str(), nullptr) : 0.0; }
std::string str(const std::optional<std::string>& text) { return text.value_or(std::string()); }
std::string dateText(Date d) {
  // Full precision, and a form both databases read as a number.
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6f", d.secondsSinceReferenceDate());
  return buffer;
}

std::string accessText(const std::vector<std::string>& access) { return nlohmann::json(access).dump(); }
std::vector<std::string> accessList(const std::optional<std::string>& text) {
  std::vector<std::string> out;
  auto json = nlohmann::json::parse(str(text), nullptr, false);
  if (!json.is_array()) return out;
  for (const auto& item : json) {
    if (item.is_string()) out.push_back(item.get<std::string>());
  }
  return out;
}

Team teamFrom(const TeamDatabase::Row& r) { return Team{str(r[0]), str(r[1]), str(r[2]), Date(number(r[3]))}; }

}  // namespace

TeamStore::Result<std::unique_ptr<TeamStore>> TeamStore::open(const std::string& location) {
  auto database = TeamDatabase::open(location);
  if (!database) return fail(TeamError::unavailable);
  if (auto ec = database->prepare()) return Failure{ec};
  return std::make_unique<TeamStore>(std::move(database));
}

TeamStore::TeamStore(std::unique_ptr<TeamDatabase> database) : database_(std::move(database)) {}

double TeamStore::now() const { return Date::now().secondsSinceReferenceDate(); }

std::string TeamStore::tokenHash(const std::string& token) {
  const auto digest = security::crypto::sha256({asBytes(token)});
  return hexString(ByteView(digest.data(), digest.size()));
}

TeamStore::Result<TeamRole> TeamStore::roleOf(const std::string& teamID, const std::string& identity) {
  auto rows = database_->query("SELECT role FROM ambrel_team_members WHERE team_id = $1 AND identity = $2",
                               {teamID, identity});
  if (!rows) return Failure{rows.error()};
  if (rows->empty()) return fail(TeamError::notPermitted);
  auto role = teamRole(str(rows->front()[0]));
  if (!role) return fail(TeamError::notPermitted);
  return *role;
}

TeamStore::Result<std::vector<TeamMember>> TeamStore::members(const std::string& teamID) {
  auto rows = database_->query(
      "SELECT id, team_id, identity, display_name, role, added_at FROM ambrel_team_members "
      "WHERE team_id = $1 ORDER BY added_at, id",
      {teamID});
  if (!rows) return Failure{rows.error()};
  std::vector<TeamMember> out;
  for (const auto& r : *rows) {
    out.push_back(TeamMember{str(r[0]), str(r[1]), str(r[2]), str(r[3]), teamRole(str(r[4])).value_or(TeamRole::member),
                             Date(number(r[5]))});
  }
  return out;
}

TeamStore::Result<std::vector<SharedMac>> TeamStore::macs(const std::string& teamID) {
  auto rows = database_->query(
      "SELECT id, team_id, mac_id, mac_name, access, added_at FROM ambrel_shared_macs WHERE team_id = $1 "
      "ORDER BY added_at, id",
      {teamID});
  if (!rows) return Failure{rows.error()};
  std::vector<SharedMac> out;
  for (const auto& r : *rows) {
    out.push_back(SharedMac{str(r[0]), str(r[1]), str(r[2]), str(r[3]), accessList(r[4]), Date(number(r[5]))});
  }
  return out;
}

TeamStore::Result<Team> TeamStore::createTeam(const Actor& actor, const std::string& name) {
  if (name.empty() || actor.identity.empty()) return fail(TeamError::invalid);
  Team team{UUID::random().string(), name, actor.name, Date(now())};
  const auto user = database_->databaseUser();
  auto ec = database_->transaction([&]() -> std::error_code {
    auto made = database_->query(
        "INSERT INTO ambrel_teams (id, name, owner_name, owner_user, created_at) VALUES ($1, $2, $3, $4, $5)",
        {team.id, team.name, team.ownerName, user, dateText(team.createdAt)});
    if (!made) return made.error();
    auto owner = database_->query(
        "INSERT INTO ambrel_team_members (id, team_id, identity, display_name, role, added_at, db_user) "
        "VALUES ($1, $2, $3, $4, 'owner', $5, $6)",
        {UUID::random().string(), team.id, actor.identity, actor.name, dateText(team.createdAt), user});
    return owner ? std::error_code{} : owner.error();
  });
  if (ec) return Failure{ec};
  log().info("team created");
  return team;
}

TeamStore::Result<std::vector<Team>> TeamStore::teams(const Actor& actor) {
  auto rows = database_->query(
      "SELECT t.id, t.name, t.owner_name, t.created_at FROM ambrel_teams t "
      "JOIN ambrel_team_members m ON m.team_id = t.id WHERE m.identity = $1 ORDER BY t.created_at, t.id",
      {actor.identity});
  if (!rows) return Failure{rows.error()};
  std::vector<Team> out;
  for (const auto& r : *rows) out.push_back(teamFrom(r));
  return out;
}

TeamStore::Result<TeamState> TeamStore::state(const Actor& actor, const std::string& teamID) {
  auto role = roleOf(teamID, actor.identity);
  if (!role) return Failure{role.error()};
  auto rows = database_->query("SELECT id, name, owner_name, created_at FROM ambrel_teams WHERE id = $1", {teamID});
  if (!rows) return Failure{rows.error()};
  if (rows->empty()) return fail(TeamError::notFound);
  TeamState state;
  state.team = teamFrom(rows->front());
  auto m = members(teamID);
  if (!m) return Failure{m.error()};
  state.members = std::move(*m);
  auto s = macs(teamID);
  if (!s) return Failure{s.error()};
  state.macs = std::move(*s);
  auto a = audit(actor, teamID);
  if (!a) return Failure{a.error()};
  state.audit = std::move(*a);
  state.amOwner = *role == TeamRole::owner;
  return state;
}

TeamStore::Result<std::string> TeamStore::invite(const Actor& actor, const std::string& teamID, TeamRole role) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return Failure{mine.error()};
  if (!canManageMembers(*mine) || !canAssign(*mine, role)) return fail(TeamError::notPermitted);
  const auto token = hexString(security::randomBytes(24));
  const double at = now();
  const double lifetime = std::chrono::duration<double>(invitationLifetime).count();
  auto made = database_->query(
      "INSERT INTO ambrel_team_invitations (token_hash, team_id, role, invited_by, created_at, expires_at) "
      "VALUES ($1, $2, $3, $4, $5, $6)",
      {tokenHash(token), teamID, std::string(rawValue(role)), actor.identity, dateText(Date(at)),
       dateText(Date(at + lifetime))});
  if (!made) return Failure{made.error()};
  log().info("invitation made with the role {}", rawValue(role));
  return token;
}

TeamStore::Result<TeamMember> TeamStore::join(const Actor& actor, const std::string& token) {
  if (actor.identity.empty() || token.empty()) return fail(TeamError::invalid);
  const auto memberID = UUID::random().string();
  const double at = now();
  auto teamID = database_->acceptInvitation(tokenHash(token), memberID, actor.identity, actor.name, at);
  if (!teamID) return Failure{teamID.error()};
  auto all = members(*teamID);
  if (!all) return Failure{all.error()};
  for (const auto& m : *all) {
    if (m.identity == actor.identity) return m;
  }
  return fail(TeamError::storeFailed);
}

std::error_code TeamStore::setRole(const Actor& actor, const std::string& teamID, const std::string& identity,
                                   TeamRole role) {
  return database_->transaction([&]() -> std::error_code {
    auto mine = roleOf(teamID, actor.identity);
    if (!mine) return mine.error();
    auto theirs = roleOf(teamID, identity);
    if (!theirs) return theirs.error() == TeamError::notPermitted ? make_error_code(TeamError::notFound) : theirs.error();
    if (!canManage(*mine, *theirs) || !canAssign(*mine, role)) return TeamError::notPermitted;
    if (*theirs == TeamRole::owner && role != TeamRole::owner) {
      auto all = members(teamID);
      if (!all) return all.error();
      const auto owners = std::count_if(all->begin(), all->end(), [](const auto& m) { return m.role == TeamRole::owner; });
      if (owners <= 1) return TeamError::lastOwner;
    }
    auto changed = database_->query("UPDATE ambrel_team_members SET role = $3 WHERE team_id = $1 AND identity = $2",
                                    {teamID, identity, std::string(rawValue(role))});
    return changed ? std::error_code{} : changed.error();
  });
}

std::error_code TeamStore::removeMember(const Actor& actor, const std::string& teamID, const std::string& identity) {
  return database_->transaction([&]() -> std::error_code {
    auto mine = roleOf(teamID, actor.identity);
    if (!mine) return mine.error();
    auto theirs = roleOf(teamID, identity);
    if (!theirs) return theirs.error() == TeamError::notPermitted ? make_error_code(TeamError::notFound) : theirs.error();
    if (!canManage(*mine, *theirs)) return TeamError::notPermitted;
    if (*theirs == TeamRole::owner) {
      auto all = members(teamID);
      if (!all) return all.error();
      if (std::count_if(all->begin(), all->end(), [](const auto& m) { return m.role == TeamRole::owner; }) <= 1) {
        return TeamError::lastOwner;
      }
    }
    auto removed = database_->query("DELETE FROM ambrel_team_members WHERE team_id = $1 AND identity = $2",
                                    {teamID, identity});
    return removed ? std::error_code{} : removed.error();
  });
}

TeamStore::Result<SharedMac> TeamStore::shareMac(const Actor& actor, const std::string& teamID,
                                                 const std::string& macID, const std::string& macName,
                                                 std::vector<std::string> access) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return Failure{mine.error()};
  if (!canManageMacs(*mine)) return fail(TeamError::notPermitted);
  if (macID.empty()) return fail(TeamError::invalid);
  SharedMac mac{UUID::random().string(), teamID, macID, macName, std::move(access), Date(now())};
  auto made = database_->query(
      "INSERT INTO ambrel_shared_macs (id, team_id, mac_id, mac_name, access, added_at) VALUES ($1, $2, $3, $4, $5, $6)",
      {mac.id, teamID, macID, macName, accessText(mac.access), dateText(mac.addedAt)});
  if (!made) return Failure{made.error()};
  return mac;
}

std::error_code TeamStore::setAccess(const Actor& actor, const std::string& teamID, const std::string& macID,
                                     std::vector<std::string> access) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return mine.error();
  if (!canManageMacs(*mine)) return TeamError::notPermitted;
  auto all = macs(teamID);
  if (!all) return all.error();
  if (std::none_of(all->begin(), all->end(), [&](const auto& m) { return m.macID == macID; })) return TeamError::notFound;
  auto changed = database_->query("UPDATE ambrel_shared_macs SET access = $3 WHERE team_id = $1 AND mac_id = $2",
                                  {teamID, macID, accessText(access)});
  return changed ? std::error_code{} : changed.error();
}

std::error_code TeamStore::unshareMac(const Actor& actor, const std::string& teamID, const std::string& macID) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return mine.error();
  if (!canManageMacs(*mine)) return TeamError::notPermitted;
  auto removed = database_->query("DELETE FROM ambrel_shared_macs WHERE team_id = $1 AND mac_id = $2", {teamID, macID});
  return removed ? std::error_code{} : removed.error();
}

TeamStore::Result<AuditEvent> TeamStore::recordConnect(const Actor& actor, const std::string& teamID,
                                                       const std::string& macID) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return Failure{mine.error()};
  auto all = macs(teamID);
  if (!all) return Failure{all.error()};
  auto mac = std::find_if(all->begin(), all->end(), [&](const auto& m) { return m.macID == macID; });
  if (mac == all->end()) return fail(TeamError::notFound);
  if (!mac->isReachable(actor.identity)) return fail(TeamError::notPermitted);
  AuditEvent event{UUID::random().string(), teamID, actor.identity, actor.name, macID, mac->macName,
                   AuditEvent::Kind::connect, Date(now())};
  auto made = database_->query(
      "INSERT INTO ambrel_audit_events (id, team_id, actor_id, actor_name, mac_id, mac_name, kind, at) "
      "VALUES ($1, $2, $3, $4, $5, $6, 'connect', $7)",
      {event.id, teamID, event.actorID, event.actorName, macID, event.macName, dateText(event.at)});
  if (!made) return Failure{made.error()};
  return event;
}

TeamStore::Result<std::vector<AuditEvent>> TeamStore::audit(const Actor& actor, const std::string& teamID) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return Failure{mine.error()};
  if (!canViewAudit(*mine)) return fail(TeamError::notPermitted);
  auto rows = database_->query(
      "SELECT id, team_id, actor_id, actor_name, mac_id, mac_name, at FROM ambrel_audit_events "
      "WHERE team_id = $1 AND kind = 'connect' ORDER BY at DESC, id",
      {teamID});
  if (!rows) return Failure{rows.error()};
  std::vector<AuditEvent> out;
  for (const auto& r : *rows) {
    out.push_back(AuditEvent{str(r[0]), str(r[1]), str(r[2]), str(r[3]), str(r[4]), str(r[5]),
                             AuditEvent::Kind::connect, Date(number(r[6]))});
  }
  return out;
}

std::error_code TeamStore::clearAudit(const Actor& actor, const std::string& teamID) {
  auto mine = roleOf(teamID, actor.identity);
  if (!mine) return mine.error();
  if (!canClearAudit(*mine)) return TeamError::notPermitted;
  auto removed = database_->query("DELETE FROM ambrel_audit_events WHERE team_id = $1", {teamID});
  return removed ? std::error_code{} : removed.error();
}

}  // namespace corvel::teams
