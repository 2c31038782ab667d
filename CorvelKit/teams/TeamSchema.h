#pragma once

#include <string_view>

namespace corvel::teams {

// The tables of the team store, the same in both backends (dates are seconds since 2001, a
// computer's access list is a JSON array of identities). `dbUser` of a member and `ownerUser` of
// a team name the database user who joined or created it; only PostgreSQL's access rules read
// them.
struct TeamSchema {
  static constexpr std::string_view tables = R"sql(
CREATE TABLE IF NOT EXISTS ambrel_teams (
  id TEXT PRIMARY KEY, name TEXT NOT NULL, owner_name TEXT NOT NULL, owner_user TEXT NOT NULL,
  created_at DOUBLE PRECISION NOT NULL);
CREATE TABLE IF NOT EXISTS ambrel_team_members (
  id TEXT PRIMARY KEY, team_id TEXT NOT NULL REFERENCES ambrel_teams (id) ON DELETE CASCADE,
  identity TEXT NOT NULL, display_name TEXT NOT NULL,
  role TEXT NOT NULL CHECK (role IN ('member', 'admin', 'owner')),
  added_at DOUBLE PRECISION NOT NULL, db_user TEXT NOT NULL, UNIQUE (team_id, identity));
CREATE TABLE IF NOT EXISTS ambrel_shared_macs (
  id TEXT PRIMARY KEY, team_id TEXT NOT NULL REFERENCES ambrel_teams (id) ON DELETE CASCADE,
  mac_id TEXT NOT NULL, mac_name TEXT NOT NULL, access TEXT NOT NULL,
  added_at DOUBLE PRECISION NOT NULL, UNIQUE (team_id, mac_id));
CREATE TABLE IF NOT EXISTS ambrel_audit_events (
  id TEXT PRIMARY KEY, team_id TEXT NOT NULL REFERENCES ambrel_teams (id) ON DELETE CASCADE,
  actor_id TEXT NOT NULL, actor_name TEXT NOT NULL, mac_id TEXT NOT NULL, mac_name TEXT NOT NULL,
  kind TEXT NOT NULL, at DOUBLE PRECISION NOT NULL);
CREATE TABLE IF NOT EXISTS ambrel_team_invitations (
  token_hash TEXT PRIMARY KEY, team_id TEXT NOT NULL REFERENCES ambrel_teams (id) ON DELETE CASCADE,
  role TEXT NOT NULL CHECK (role IN ('member', 'admin', 'owner')), invited_by TEXT NOT NULL,
  created_at DOUBLE PRECISION NOT NULL, expires_at DOUBLE PRECISION NOT NULL, accepted_by TEXT);
)sql";
};

}  // namespace corvel::teams
