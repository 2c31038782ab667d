#pragma once

#include <memory>
#include <vector>

#include "Ambrel_Host/controller/RemoteClient.h"

namespace ambrel {

class HostObservers;

// Every open connection, admitted or not, in order of arrival. Lives on the controller's
// executor; every change is told to the observers as `clients`.
class ClientRegistry {
 public:
  explicit ClientRegistry(HostObservers& observers) : observers_(observers) {}

  const std::vector<std::shared_ptr<RemoteClient>>& all() const { return clients_; }
  bool empty() const { return clients_.empty(); }

  void add(std::shared_ptr<RemoteClient> client);
  // False when the client wasn't listed (it ended before).
  bool remove(const RemoteClient& client);
  bool contains(const RemoteClient& client) const;
  std::shared_ptr<RemoteClient> find(const corvel::UUID& id) const;

  // Admitted clients that watch (screen sharers only show their own screen).
  std::vector<std::shared_ptr<RemoteClient>> viewers() const;

  // A listed client's state changed in a way the interface shows.
  void changed();

 private:
  HostObservers& observers_;
  std::vector<std::shared_ptr<RemoteClient>> clients_;
};

}  // namespace ambrel
