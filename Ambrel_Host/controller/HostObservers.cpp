#include "Ambrel_Host/controller/HostObservers.h"

namespace ambrel {

int HostObservers::subscribe(Observer observer) {
  observers_.emplace(next_, std::move(observer));
  return next_++;
}

void HostObservers::unsubscribe(int token) { observers_.erase(token); }

void HostObservers::notify(HostProperty property) { tell({property, std::nullopt}); }

void HostObservers::notify(Setting setting) { tell({HostProperty::setting, setting}); }

void HostObservers::tell(const HostChange& change) {
  // Observers may subscribe or unsubscribe while being told.
  auto current = observers_;
  for (auto& [token, observer] : current) observer(change);
}

}  // namespace ambrel
