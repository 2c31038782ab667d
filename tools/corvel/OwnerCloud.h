#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "CorvelKit/cloud/CloudDatabase.h"
#include "CorvelKit/cloud/CloudMac.h"
#include "CorvelKit/cloud/CorvelCloud.h"

namespace corvel::tool {

// The owner's cloud database as the commands reach it.
struct OwnerCloud {
  // What went wrong, for standard error, and the exit status it gives.
  struct Failure {
    std::string message;
    int exitCode = 1;
  };

  // A PostgreSQL URL or keyword string, a SQLite file, or (empty) this computer's own file.
  static std::shared_ptr<cloud::CloudDatabase> open(const std::string& database);
  // Gives `cloud` the owner key from the first line of `secretFile` ("-": standard input), so the
  // sealed fields open. Nothing to do without a file.
  static std::optional<Failure> loadKey(const std::optional<std::string>& secretFile,
                                        cloud::CorvelCloud& cloud);
  // The host whose id, or whose name alone among the hosts, is `wanted` (either case).
  static std::variant<cloud::CloudMac, Failure> find(cloud::CorvelCloud& cloud,
                                                     const std::string& wanted);
};

}  // namespace corvel::tool
