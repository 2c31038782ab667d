#include "tests/support/PostgresServer.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace corvel::test {

using namespace std::chrono_literals;

namespace {

// setpriv's arguments that run `program` as `user` ("uid:gid").
std::vector<std::string> asUser(const std::string& user, const std::string& program) {
  auto colon = user.find(':');
  return {"--reuid=" + user.substr(0, colon), "--regid=" + user.substr(colon + 1), "--clear-groups",
          "--", program};
}

// Runs `program` (as `user`, "uid:gid", unless empty) and waits for it; its errors when it fails.
std::string runToEnd(const std::string& user, const std::filesystem::path& program,
                     std::vector<std::string> args) {
  std::vector<std::string> all;
  std::string exe = program.string();
  if (!user.empty()) {
    all = asUser(user, program.string());
    exe = "/usr/bin/setpriv";
  }
  all.insert(all.end(), args.begin(), args.end());
  ChildProcess child(exe, all);
  auto status = child.wait(120s);
  if (status && *status == 0) return {};
  return program.filename().string() + " failed: " + child.output() + child.errors();
}

}  // namespace

std::filesystem::path PostgresServer::binaries() {
  std::filesystem::path best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    auto bin = entry.path() / "bin";
    if (!std::filesystem::exists(bin / "postgres") || !std::filesystem::exists(bin / "initdb")) continue;
    int version = std::atoi(entry.path().filename().c_str());
    if (version > bestVersion) {
      bestVersion = version;
      best = bin;
    }
  }
  return best;
}

PostgresServer::PostgresServer() : bin_(binaries()) {
  if (bin_.empty()) {
    errors_ = "no PostgreSQL server programs under /usr/lib/postgresql/*/bin";
    return;
  }
  std::string user;
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) {
      errors_ = "no user 'nobody' to run the server as";
      return;
    }
    user = std::to_string(pw->pw_uid) + ":" + std::to_string(pw->pw_gid);
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_exec);
    socketFolder_ = folder_.path() / "pg";
    std::filesystem::create_directory(socketFolder_);
    if (::chown(socketFolder_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      errors_ = "cannot hand the server's folder to nobody";
      return;
    }
  } else {
    socketFolder_ = folder_.path() / "pg";
    std::filesystem::create_directory(socketFolder_);
  }
  auto data = socketFolder_ / "data";
  errors_ = runToEnd(user, bin_ / "initdb",
                     {"-D", data.string(), "-U", "corvel", "--auth=trust", "--no-locale", "-E", "UTF8",
                      "--no-sync", "--no-instructions"});
  if (!errors_.empty()) return;
  std::vector<std::string> args{"-D", data.string(), "-k", socketFolder_.string(),
                                "-c", "listen_addresses=", "-c", "fsync=off",
                                "-c", "synchronous_commit=off", "-c", "full_page_writes=off"};
  std::string exe = (bin_ / "postgres").string();
  if (!user.empty()) {
    auto prefix = asUser(user, exe);
    args.insert(args.begin(), prefix.begin(), prefix.end());
    exe = "/usr/bin/setpriv";
  }
  server_ = std::make_unique<ChildProcess>(exe, args);
  if (!server_->waitForText("ready to accept connections", 60s)) {
    errors_ = "postgres did not start: " + server_->errors();
    return;
  }
  running_ = true;
}

PostgresServer::~PostgresServer() {
  if (!server_) return;
  server_->signal(SIGINT);  // fast shutdown: ends the sessions, then stops
  if (!server_->wait(20s)) {
    server_->signal(SIGKILL);
    (void)server_->wait(10s);
  }
}

std::string PostgresServer::createDatabase(const std::string& name) {
  auto failure = runToEnd("", bin_ / "createdb", {"-h", socketFolder_.string(), "-U", "corvel", name});
  if (!failure.empty()) throw std::runtime_error(failure);
  return "host=" + socketFolder_.string() + " user=corvel dbname=" + name;
}

void PostgresServer::dropConnections(const std::string& database) {
  auto failure = runToEnd("", bin_ / "psql",
                          {"-h", socketFolder_.string(), "-U", "corvel", "-d", "postgres", "-c",
                           "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                               database + "'"});
  if (!failure.empty()) throw std::runtime_error(failure);
}

}  // namespace corvel::test
