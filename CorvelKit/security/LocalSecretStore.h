#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include "CorvelKit/security/SecretStore.h"

namespace corvel::security {

// Secrets in one JSON file readable by the owner only (mode 0600), replaced atomically on every
// change. The file is read on every operation, so several stores (and processes) see each other's
// writes. A file that does not parse is kept aside as "<name>.corrupt" on the next write, and the
// store starts again empty; reads of it find nothing.
class LocalSecretStore : public SecretStore {
 public:
  static constexpr const char* fileName = "keychain.json";

  // The store at Paths::configFolder()/keychain.json, resolved at each operation.
  LocalSecretStore() = default;
  // The store in a given file.
  explicit LocalSecretStore(std::filesystem::path file) : file_(std::move(file)) {}

  std::optional<Bytes> find(const std::string& service, const std::string& account,
                            const std::optional<std::string>& accessGroup) override;
  bool add(const Item& item) override;
  bool remove(const std::string& service, const std::string& account,
              const std::optional<std::string>& accessGroup) override;

  std::filesystem::path file() const;

 private:
  std::mutex mutex_;
  std::optional<std::filesystem::path> file_;
};

}  // namespace corvel::security
