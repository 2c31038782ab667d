#include "CorvelKit/security/Keychain.h"

#include <mutex>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/LocalSecretStore.h"

namespace corvel::security {

namespace {

struct Backend {
  std::mutex mutex;
  std::shared_ptr<SecretStore> store = std::make_shared<LocalSecretStore>();
};

Backend& backend() {
  static Backend b;
  return b;
}

std::shared_ptr<SecretStore> currentStore() {
  auto& b = backend();
  std::lock_guard lock(b.mutex);
  return b.store;
}

}  // namespace

std::optional<std::string> Keychain::get(std::string_view account, std::string_view service,
                                         const std::optional<std::string>& accessGroup) {
  auto value = currentStore()->find(std::string(service), std::string(account), accessGroup);
  if (!value) return std::nullopt;
  std::string text(asString(*value));
  secureWipe(*value);
  return text;
}

bool Keychain::set(std::string_view value, std::string_view account, std::string_view service,
                   bool synchronizable, const std::optional<std::string>& accessGroup) {
  auto store = currentStore();
  SecretStore::Item item{std::string(service), std::string(account), accessGroup, toBytes(value),
                         synchronizable};
  store->remove(item.service, item.account, accessGroup);
  bool saved = synchronizable && store->add(item);
  if (!saved) {
    item.synchronizable = false;
    saved = store->add(item);
  }
  secureWipe(item.value);
  return saved;
}

void Keychain::remove(std::string_view account, std::string_view service,
                      const std::optional<std::string>& accessGroup) {
  currentStore()->remove(std::string(service), std::string(account), accessGroup);
}

std::shared_ptr<SecretStore> Keychain::useStore(std::shared_ptr<SecretStore> store) {
  auto& b = backend();
  std::lock_guard lock(b.mutex);
  std::swap(b.store, store);
  return store;
}

}  // namespace corvel::security
