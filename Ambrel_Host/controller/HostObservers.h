#pragma once

#include <functional>
#include <map>

#include "Ambrel_Host/controller/HostProperty.h"

namespace ambrel {

// Who hears about changes of the host's properties. Lives on the controller's executor.
class HostObservers {
 public:
  using Observer = std::function<void(const HostChange&)>;

  // Returns a token for unsubscribe().
  int subscribe(Observer observer);
  void unsubscribe(int token);

  void notify(HostProperty property);
  void notify(Setting setting);

  // Stores `value` and notifies, unless the field already holds it; true when it changed.
  template <class T>
  bool assign(T& field, T value, HostProperty property) {
    if (field == value) return false;
    field = std::move(value);
    notify(property);
    return true;
  }

 private:
  void tell(const HostChange& change);

  std::map<int, Observer> observers_;
  int next_ = 0;
};

}  // namespace ambrel
