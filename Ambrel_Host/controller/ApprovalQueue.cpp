#include "Ambrel_Host/controller/ApprovalQueue.h"

#include <algorithm>

#include "Ambrel_Host/controller/HostObservers.h"

namespace ambrel {

void ApprovalQueue::push(const corvel::UUID& clientID) {
  waiting_.push_back(clientID);
  observers_.notify(HostProperty::approvingClientID);
}

bool ApprovalQueue::remove(const corvel::UUID& clientID) {
  auto it = std::find(waiting_.begin(), waiting_.end(), clientID);
  if (it == waiting_.end()) return false;
  waiting_.erase(it);
  observers_.notify(HostProperty::approvingClientID);
  return true;
}

bool ApprovalQueue::contains(const corvel::UUID& clientID) const {
  return std::find(waiting_.begin(), waiting_.end(), clientID) != waiting_.end();
}

std::optional<corvel::UUID> ApprovalQueue::front() const {
  if (waiting_.empty()) return std::nullopt;
  return waiting_.front();
}

}  // namespace ambrel
