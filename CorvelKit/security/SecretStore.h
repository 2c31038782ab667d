#pragma once

#include <optional>
#include <string>

#include "CorvelKit/base/Bytes.h"

namespace corvel::security {

// Where `Keychain` keeps its items: generic passwords keyed by service, account and access group.
// An absent access group in a query matches items of any group.
class SecretStore {
 public:
  struct Item {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;
    Bytes value;
    bool synchronizable = false;
  };

  virtual ~SecretStore() = default;

  // The value of the first matching item, synchronizable or not; nothing when there is none or the
  // store cannot be read.
  virtual std::optional<Bytes> find(const std::string& service, const std::string& account,
                                    const std::optional<std::string>& accessGroup) = 0;
  // Adds a new item. False when the store refuses it (an equal item exists, the store cannot keep
  // synchronizable items, the write failed).
  [[nodiscard]] virtual bool add(const Item& item) = 0;
  // Deletes every matching item, synchronizable or not. False when the store could not be written.
  virtual bool remove(const std::string& service, const std::string& account,
                      const std::optional<std::string>& accessGroup) = 0;
};

}  // namespace corvel::security
