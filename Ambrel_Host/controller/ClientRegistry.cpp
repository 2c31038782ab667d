#include "Ambrel_Host/controller/ClientRegistry.h"

#include <algorithm>

#include "Ambrel_Host/controller/HostObservers.h"

namespace ambrel {

void ClientRegistry::add(std::shared_ptr<RemoteClient> client) {
  clients_.push_back(std::move(client));
  changed();
}

bool ClientRegistry::remove(const RemoteClient& client) {
  auto it = std::find_if(clients_.begin(), clients_.end(),
                         [&](const auto& c) { return c.get() == &client; });
  if (it == clients_.end()) return false;
  clients_.erase(it);
  changed();
  return true;
}

bool ClientRegistry::contains(const RemoteClient& client) const {
  return std::any_of(clients_.begin(), clients_.end(),
                     [&](const auto& c) { return c.get() == &client; });
}

std::shared_ptr<RemoteClient> ClientRegistry::find(const corvel::UUID& id) const {
  for (const auto& c : clients_) {
    if (c->id() == id) return c;
  }
  return nullptr;
}

std::vector<std::shared_ptr<RemoteClient>> ClientRegistry::viewers() const {
  std::vector<std::shared_ptr<RemoteClient>> out;
  for (const auto& c : clients_) {
    if (c->authorized() && !c->isScreenSharer()) out.push_back(c);
  }
  return out;
}

void ClientRegistry::changed() { observers_.notify(HostProperty::clients); }

}  // namespace ambrel
