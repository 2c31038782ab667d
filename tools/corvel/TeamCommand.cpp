#include "tools/corvel/TeamCommand.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "CorvelKit/teams/TeamStore.h"

namespace corvel::tool {

namespace {

using teams::TeamStore;
using unicode::escapeControls;

constexpr int kUsage = 64;
constexpr int kFailed = 1;

std::string defaultName() {
  if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "Someone";
}

int failed(std::error_code ec) {
  std::cerr << "corvel: " << ec.message() << "\n";
  return kFailed;
}

int usage(const char* text) {
  std::cerr << "corvel: " << text << "\n";
  return kUsage;
}

std::string dateText(Date d) {
  const auto t = std::chrono::system_clock::to_time_t(d.timePoint());
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", std::gmtime(&t));
  return buffer;
}

}  // namespace

int TeamCommand::run(const std::vector<std::string_view>& args) {
  std::string database;
  std::string name = defaultName();
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--database" || args[i] == "--name") {
      if (i + 1 == args.size()) return usage("--database and --name need a value");
      auto& into = args[i] == "--database" ? database : name;
      into = std::string(args[i + 1]);
      ++i;
    } else {
      words.emplace_back(args[i]);
    }
  }
  if (words.empty()) return usage("team needs a command: create, list, invite, join, role, remove, share, connect, audit");
  const auto& command = words[0];
  auto operands = [&](std::size_t least, std::size_t most) { return words.size() - 1 >= least && words.size() - 1 <= most; };

  auto opened = TeamStore::open(database);
  if (!opened) return failed(opened.error());
  auto& store = **opened;
  const TeamStore::Actor me{security::SecureIdentity::shared().fingerprint(), name};

  if (command == "create" && operands(1, 1)) {
    auto team = store.createTeam(me, words[1]);
    if (!team) return failed(team.error());
    std::cout << team->id << "\n";
    return 0;
  }
  if (command == "list" && operands(0, 0)) {
    auto all = store.teams(me);
    if (!all) return failed(all.error());
    for (const auto& t : *all) std::cout << t.id << "  " << escapeControls(t.name) << " (" << escapeControls(t.ownerName) << ")\n";
    if (all->empty()) std::cout << "You are in no team.\n";
    return 0;
  }
  if (command == "list" && operands(1, 1)) {
    auto state = store.state(me, words[1]);
    if (!state) return failed(state.error());
    std::cout << escapeControls(state->team->name) << (state->amOwner ? " (yours)" : "") << "\n";
    for (const auto& m : state->members) {
      std::cout << "  " << teams::title(m.role) << "  " << m.identity << "  " << escapeControls(m.displayName) << "\n";
    }
    for (const auto& mac : state->macs) {
      std::cout << "  computer " << escapeControls(mac.macID) << "  " << escapeControls(mac.macName)
                << (mac.access.empty() ? std::string("  (everyone)") : "  (" + std::to_string(mac.access.size()) + " members)")
                << (mac.isReachable(me.identity) ? "" : "  not for you") << "\n";
    }
    return 0;
  }
  if (command == "invite" && operands(1, 2)) {
    auto role = words.size() == 3 ? teams::teamRole(words[2]) : teams::TeamRole::member;
    if (!role) return usage("ROLE is member, admin or owner");
    auto token = store.invite(me, words[1], *role);
    if (!token) return failed(token.error());
    std::cout << *token << "\n";
    return 0;
  }
  if (command == "join" && operands(1, 1)) {
    auto member = store.join(me, words[1]);
    if (!member) return failed(member.error());
    std::cout << "Joined team " << member->teamID << " as " << teams::title(member->role) << ".\n";
    return 0;
  }
  if (command == "role" && operands(3, 3)) {
    auto role = teams::teamRole(words[3]);
    if (!role) return usage("ROLE is member, admin or owner");
    if (auto ec = store.setRole(me, words[1], words[2], *role)) return failed(ec);
    std::cout << "Role set.\n";
    return 0;
  }
  if (command == "remove" && operands(2, 2)) {
    if (auto ec = store.removeMember(me, words[1], words[2])) return failed(ec);
    std::cout << "Removed.\n";
    return 0;
  }
  if (command == "share" && words.size() >= 4) {
    auto mac = store.shareMac(me, words[1], words[2], words[3], {words.begin() + 4, words.end()});
    if (!mac) return failed(mac.error());
    std::cout << "Shared " << escapeControls(mac->macName) << ".\n";
    return 0;
  }
  if (command == "connect" && operands(2, 2)) {
    auto event = store.recordConnect(me, words[1], words[2]);
    if (!event) return failed(event.error());
    std::cout << escapeControls(event->summary()) << "\n";
    return 0;
  }
  if (command == "audit" && operands(1, 2)) {
    if (words.size() == 3) {
      if (words[2] != "--clear") return usage("team audit TEAM [--clear]");
      if (auto ec = store.clearAudit(me, words[1])) return failed(ec);
      std::cout << "Audit log cleared.\n";
      return 0;
    }
    auto events = store.audit(me, words[1]);
    if (!events) return failed(events.error());
    for (const auto& e : *events) std::cout << dateText(e.at) << "  " << escapeControls(e.summary()) << "\n";
    return 0;
  }
  return usage("unknown team command or wrong number of operands (corvel --help)");
}

}  // namespace corvel::tool
