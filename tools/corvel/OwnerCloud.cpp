#include "tools/corvel/OwnerCloud.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <vector>

#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/cloud/OwnerKey.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tools/corvel/ClientOptions.h"

namespace corvel::tool {

namespace {

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

}  // namespace

std::shared_ptr<cloud::CloudDatabase> OwnerCloud::open(const std::string& database) {
  if (database.empty()) return std::make_shared<cloud::SqliteCloudDatabase>();
  const bool postgres = database.starts_with("postgresql://") || database.starts_with("postgres://") ||
                        database.find('=') != std::string::npos;
  if (postgres) return std::make_shared<cloud::PostgresCloudDatabase>(database);
  return std::make_shared<cloud::SqliteCloudDatabase>(database);
}

std::optional<OwnerCloud::Failure> OwnerCloud::loadKey(const std::optional<std::string>& secretFile,
                                                       cloud::CorvelCloud& cloud) {
  if (!secretFile) return std::nullopt;
  std::string line;
  if (*secretFile == "-") {
    std::getline(std::cin, line);
  } else {
    std::ifstream in(*secretFile);
    if (!in) return Failure{"can't read the owner secret from " + *secretFile, ExitCode::failed};
    std::getline(in, line);
  }
  auto key = cloud::OwnerKey::derive(line);
  secureWipe(line.data(), line.size());
  if (!key) return Failure{"the owner secret is empty", ExitCode::failed};
  cloud.setOwnerKey(std::make_shared<cloud::OwnerKey>(std::move(*key)));
  return std::nullopt;
}

std::variant<cloud::CloudMac, OwnerCloud::Failure> OwnerCloud::find(cloud::CorvelCloud& cloud,
                                                                    const std::string& wanted) {
  auto all = cloud.fetchAll();
  if (!all) {
    return Failure{"the cloud database failed: " + all.error().message(),
                   all.error() == cloud::CloudError::zoneNotFound ? ExitCode::failed
                                                                  : ExitCode::networkFailure};
  }
  std::vector<const cloud::CloudMac*> matches;
  for (const auto& mac : all->macs) {
    if (upper(mac.id) == upper(wanted)) {
      matches = {&mac};
      break;
    }
    if (upper(mac.name) == upper(wanted)) matches.push_back(&mac);
  }
  if (matches.empty()) {
    return Failure{"no host named " + unicode::escapeControls(wanted) + " (see corvel macs)",
                   ExitCode::failed};
  }
  if (matches.size() > 1) {
    std::string text = "several hosts are named " + unicode::escapeControls(wanted) + "; give the id of one:";
    for (const auto* mac : matches) text += "\n  " + unicode::escapeControls(mac->id);
    return Failure{text, ExitCode::usage};
  }
  return *matches.front();
}

}  // namespace corvel::tool
