#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "CorvelKit/security/SecretBytes.h"

namespace corvel::security {

// Derived access keys by normalised code, shared by every connection, the listener and the browser
// server. Holds at most 9 codes: an insertion into a full cache first empties it.
class AccessKeyCache {
 public:
  static constexpr std::size_t capacity = 9;

  static AccessKeyCache& shared();

  AccessKeyCache() = default;
  ~AccessKeyCache();
  AccessKeyCache(const AccessKeyCache&) = delete;
  AccessKeyCache& operator=(const AccessKeyCache&) = delete;

  std::optional<SecretBytes> key(const std::string& normalizedCode) const;
  void store(SecretBytes key, const std::string& normalizedCode);

  std::size_t count() const;
  void removeAll();

 private:
  void removeAllLocked();

  mutable std::mutex mutex_;
  std::map<std::string, SecretBytes> keys_;
};

}  // namespace corvel::security
