#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/TemporaryFolder.h"

namespace corvel::test {

class ChildProcess;

// A private PostgreSQL server for one test program: a fresh cluster (initdb) in a temporary folder,
// reachable only through a Unix socket in that folder, with the superuser "corvel" and no password.
// The server refuses to run as root, so under root the folder is handed to "nobody" and the server
// programs run as that user (setpriv).
class PostgresServer {
 public:
  // The folder of Debian's server programs (/usr/lib/postgresql/<newest>/bin), or empty.
  static std::filesystem::path binaries();

  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  bool isRunning() const { return running_; }
  // What went wrong when the server didn't start.
  const std::string& errors() const { return errors_; }

  // Creates a new empty database and returns its libpq connection string.
  std::string createDatabase(const std::string& name);
  // Ends every client connection to the database, as a server restart or a network cut would.
  void dropConnections(const std::string& database);

 private:
  std::filesystem::path bin_;
  TemporaryFolder folder_;
  std::filesystem::path socketFolder_;
  std::unique_ptr<ChildProcess> server_;
  bool running_ = false;
  std::string errors_;
};

}  // namespace corvel::test
