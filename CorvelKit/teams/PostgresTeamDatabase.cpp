#include "CorvelKit/teams/PostgresTeamDatabase.h"

#include <libpq-fe.h>

#include <algorithm>
#include <vector>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/PostgresHandles.h"
#include "CorvelKit/security/Keychain.h"
#include "CorvelKit/teams/TeamError.h"
#include "CorvelKit/teams/TeamSchema.h"

namespace corvel::teams {

namespace {

auto& log() { return Log::core("teams"); }
using Failure = Unexpected<std::error_code>;

// ambrel_team_role(team): the role of the connected user in that team ('owner' for its creator),
// or NULL. It runs with its owner's rights so that the rules below can consult the member table
// without meeting its own rules again.
constexpr const char* kRules = R"sql(
CREATE OR REPLACE FUNCTION ambrel_team_role(team TEXT) RETURNS TEXT
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, public AS $$
  SELECT CASE
    WHEN EXISTS (SELECT 1 FROM public.ambrel_teams t WHERE t.id = team AND t.owner_user = session_user) THEN 'owner'
    ELSE (SELECT m.role FROM public.ambrel_team_members m WHERE m.team_id = team AND m.db_user = session_user
          ORDER BY CASE m.role WHEN 'owner' THEN 0 WHEN 'admin' THEN 1 ELSE 2 END LIMIT 1)
  END
$$;

CREATE OR REPLACE FUNCTION ambrel_accept_invitation(hash TEXT, member_id TEXT, member_identity TEXT,
                                                    member_name TEXT) RETURNS TEXT
LANGUAGE plpgsql VOLATILE SECURITY DEFINER SET search_path = pg_catalog, public AS $$
DECLARE
  invitation public.ambrel_team_invitations%ROWTYPE;
  now_at DOUBLE PRECISION := extract(epoch FROM now()) - 978307200;
BEGIN
  SELECT * INTO invitation FROM public.ambrel_team_invitations WHERE token_hash = hash FOR UPDATE;
  IF NOT FOUND THEN RETURN 'notFound'; END IF;
  IF invitation.accepted_by IS NOT NULL OR invitation.expires_at < now_at THEN RETURN 'invitationInvalid'; END IF;
  IF EXISTS (SELECT 1 FROM public.ambrel_team_members
             WHERE team_id = invitation.team_id AND (identity = member_identity OR db_user = session_user)) THEN
    RETURN 'alreadyMember';
  END IF;
  UPDATE public.ambrel_team_invitations SET accepted_by = member_identity WHERE token_hash = hash;
  INSERT INTO public.ambrel_team_members (id, team_id, identity, display_name, role, added_at, db_user)
    VALUES (member_id, invitation.team_id, member_identity, member_name, invitation.role, now_at, session_user);
  RETURN 'team:' || invitation.team_id;
END
$$;

ALTER TABLE ambrel_teams ENABLE ROW LEVEL SECURITY;
ALTER TABLE ambrel_team_members ENABLE ROW LEVEL SECURITY;
ALTER TABLE ambrel_shared_macs ENABLE ROW LEVEL SECURITY;
ALTER TABLE ambrel_audit_events ENABLE ROW LEVEL SECURITY;
ALTER TABLE ambrel_team_invitations ENABLE ROW LEVEL SECURITY;

DROP POLICY IF EXISTS read ON ambrel_teams;
DROP POLICY IF EXISTS create_own ON ambrel_teams;
DROP POLICY IF EXISTS owner_changes ON ambrel_teams;
DROP POLICY IF EXISTS owner_deletes ON ambrel_teams;
CREATE POLICY read ON ambrel_teams FOR SELECT USING (ambrel_team_role(id) IS NOT NULL);
CREATE POLICY create_own ON ambrel_teams FOR INSERT WITH CHECK (owner_user = session_user);
CREATE POLICY owner_changes ON ambrel_teams FOR UPDATE USING (ambrel_team_role(id) = 'owner');
CREATE POLICY owner_deletes ON ambrel_teams FOR DELETE USING (ambrel_team_role(id) = 'owner');

DROP POLICY IF EXISTS read ON ambrel_team_members;
DROP POLICY IF EXISTS managers_write ON ambrel_team_members;
CREATE POLICY read ON ambrel_team_members FOR SELECT USING (ambrel_team_role(team_id) IS NOT NULL);
CREATE POLICY managers_write ON ambrel_team_members FOR ALL
  USING (ambrel_team_role(team_id) IN ('admin', 'owner'))
  WITH CHECK (ambrel_team_role(team_id) IN ('admin', 'owner')
              AND (role <> 'owner' OR ambrel_team_role(team_id) = 'owner'));

DROP POLICY IF EXISTS read ON ambrel_shared_macs;
DROP POLICY IF EXISTS managers_write ON ambrel_shared_macs;
CREATE POLICY read ON ambrel_shared_macs FOR SELECT USING (ambrel_team_role(team_id) IS NOT NULL);
CREATE POLICY managers_write ON ambrel_shared_macs FOR ALL
  USING (ambrel_team_role(team_id) IN ('admin', 'owner'))
  WITH CHECK (ambrel_team_role(team_id) IN ('admin', 'owner'));

DROP POLICY IF EXISTS read ON ambrel_audit_events;
DROP POLICY IF EXISTS members_log ON ambrel_audit_events;
DROP POLICY IF EXISTS owner_clears ON ambrel_audit_events;
CREATE POLICY read ON ambrel_audit_events FOR SELECT USING (ambrel_team_role(team_id) IS NOT NULL);
CREATE POLICY members_log ON ambrel_audit_events FOR INSERT WITH CHECK (ambrel_team_role(team_id) IS NOT NULL);
CREATE POLICY owner_clears ON ambrel_audit_events FOR DELETE USING (ambrel_team_role(team_id) = 'owner');

DROP POLICY IF EXISTS managers_only ON ambrel_team_invitations;
CREATE POLICY managers_only ON ambrel_team_invitations FOR ALL
  USING (ambrel_team_role(team_id) IN ('admin', 'owner'))
  WITH CHECK (ambrel_team_role(team_id) IN ('admin', 'owner')
              AND (role <> 'owner' OR ambrel_team_role(team_id) = 'owner'));

GRANT SELECT, INSERT, UPDATE, DELETE ON ambrel_teams, ambrel_team_members, ambrel_shared_macs,
  ambrel_audit_events, ambrel_team_invitations TO PUBLIC;
REVOKE ALL ON FUNCTION ambrel_accept_invitation(TEXT, TEXT, TEXT, TEXT) FROM PUBLIC;
GRANT EXECUTE ON FUNCTION ambrel_accept_invitation(TEXT, TEXT, TEXT, TEXT) TO PUBLIC;
GRANT EXECUTE ON FUNCTION ambrel_team_role(TEXT) TO PUBLIC;
)sql";

cloud::PostgresResult run(pg_conn* connection, const char* sql) { return cloud::PostgresResult(PQexec(connection, sql)); }

bool ok(const cloud::PostgresResult& result) {
  const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

}  // namespace

const char* PostgresTeamDatabase::accessRules() { return kRules; }

PostgresTeamDatabase::PostgresTeamDatabase(std::string url) : url_(std::move(url)) {}

PostgresTeamDatabase::~PostgresTeamDatabase() {
  if (connection_ != nullptr) PQfinish(connection_);
}

std::error_code PostgresTeamDatabase::connect() {
  if (connection_ != nullptr && PQstatus(connection_) == CONNECTION_OK) return {};
  if (connection_ != nullptr) {
    PQfinish(connection_);
    connection_ = nullptr;
  }
  auto password = security::Keychain::get(cloud::PostgresCloudDatabase::passwordAccount,
                                          cloud::PostgresCloudDatabase::passwordService);
  std::vector<const char*> keys{"dbname", "connect_timeout"};
  std::vector<const char*> values{url_.c_str(), "5"};
  if (password && !password->empty()) {
    keys.push_back("password");
    values.push_back(password->c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  connection_ = PQconnectdbParams(keys.data(), values.data(), 1);
  if (password) std::fill(password->begin(), password->end(), '\0');
  if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) {
    log().error("can't reach the team database: {}", connection_ != nullptr ? PQerrorMessage(connection_) : "?");
    return TeamError::unavailable;
  }
  // The server's notices (policy changes on every start) stay out of the program's output.
  PQsetNoticeProcessor(connection_, [](void*, const char*) {}, nullptr);
  return {};
}

std::error_code PostgresTeamDatabase::prepare() {
  if (auto ec = connect()) return ec;
  // Made once, by a user allowed to; everyone else finds them there.
  auto exists = run(connection_, "SELECT to_regclass('public.ambrel_team_invitations') IS NOT NULL");
  if (ok(exists) && PQntuples(exists.get()) == 1 && PQgetvalue(exists.get(), 0, 0)[0] == 't') return {};
  const std::string setup = "BEGIN; SELECT pg_advisory_xact_lock(5895);" + std::string(TeamSchema::tables) + kRules + "COMMIT;";
  auto made = run(connection_, setup.c_str());
  if (!ok(made)) {
    log().error("can't prepare the team database: {}", PQerrorMessage(connection_));
    run(connection_, "ROLLBACK");
    return TeamError::unavailable;
  }
  return {};
}

Expected<TeamDatabase::Rows, std::error_code> PostgresTeamDatabase::query(const std::string& sql,
                                                                          const Parameters& parameters) {
  if (auto ec = connect()) return Failure{ec};
  std::vector<const char*> values;
  for (const auto& p : parameters) values.push_back(p ? p->c_str() : nullptr);
  cloud::PostgresResult result(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                            values.data(), nullptr, nullptr, 0));
  if (!ok(result)) {
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state != nullptr ? state : "";
    if (code == "23505") return Failure{make_error_code(TeamError::alreadyMember)};
    // 42501: a row-level rule or a missing grant refused it.
    if (code == "42501") return Failure{make_error_code(TeamError::notPermitted)};
    log().error("team query failed: {}", PQerrorMessage(connection_));
    if (PQstatus(connection_) != CONNECTION_OK) return Failure{make_error_code(TeamError::unavailable)};
    return Failure{make_error_code(TeamError::storeFailed)};
  }
  Rows rows;
  const int count = PQntuples(result.get());
  const int columns = PQnfields(result.get());
  for (int r = 0; r < count; ++r) {
    Row row;
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(result.get(), r, c)) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(std::string(PQgetvalue(result.get(), r, c), static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::error_code PostgresTeamDatabase::transaction(const std::function<std::error_code()>& work) {
  if (auto ec = connect()) return ec;
  if (depth_ > 0) return work();
  if (!ok(run(connection_, "BEGIN"))) return TeamError::unavailable;
  ++depth_;
  auto ec = work();
  --depth_;
  if (ec) {
    run(connection_, "ROLLBACK");
    return ec;
  }
  if (!ok(run(connection_, "COMMIT"))) return TeamError::storeFailed;
  return {};
}

std::string PostgresTeamDatabase::databaseUser() {
  auto rows = query("SELECT session_user");
  if (!rows || rows->empty()) return {};
  return rows->front()[0].value_or("");
}

Expected<std::string, std::error_code> PostgresTeamDatabase::acceptInvitation(const std::string& tokenHash,
                                                                              const std::string& memberID,
                                                                              const std::string& identity,
                                                                              const std::string& displayName, double) {
  auto rows = query("SELECT ambrel_accept_invitation($1, $2, $3, $4)", {tokenHash, memberID, identity, displayName});
  if (!rows) return Failure{rows.error()};
  const auto answer = rows->empty() ? std::string() : rows->front()[0].value_or("");
  if (answer.starts_with("team:")) return answer.substr(5);
  if (answer == "invitationInvalid") return Failure{make_error_code(TeamError::invitationInvalid)};
  if (answer == "alreadyMember") return Failure{make_error_code(TeamError::alreadyMember)};
  return Failure{make_error_code(TeamError::notFound)};
}

}  // namespace corvel::teams
