#include "CorvelKit/security/AccessKeyCache.h"

#include "CorvelKit/base/Bytes.h"

namespace corvel::security {

AccessKeyCache& AccessKeyCache::shared() {
  static AccessKeyCache instance;
  return instance;
}

AccessKeyCache::~AccessKeyCache() { removeAllLocked(); }

std::optional<SecretBytes> AccessKeyCache::key(const std::string& normalizedCode) const {
  std::lock_guard lock(mutex_);
  auto it = keys_.find(normalizedCode);
  if (it == keys_.end()) return std::nullopt;
  return it->second;
}

void AccessKeyCache::store(SecretBytes key, const std::string& normalizedCode) {
  std::lock_guard lock(mutex_);
  if (keys_.size() >= capacity) removeAllLocked();
  keys_.insert_or_assign(normalizedCode, std::move(key));
}

std::size_t AccessKeyCache::count() const {
  std::lock_guard lock(mutex_);
  return keys_.size();
}

void AccessKeyCache::removeAll() {
  std::lock_guard lock(mutex_);
  removeAllLocked();
}

void AccessKeyCache::removeAllLocked() {
  // The codes are secrets too: wipe them on the way out (keys wipe themselves).
  while (!keys_.empty()) {
    auto node = keys_.extract(keys_.begin());
    secureWipe(node.key().data(), node.key().size());
  }
}

}  // namespace corvel::security
