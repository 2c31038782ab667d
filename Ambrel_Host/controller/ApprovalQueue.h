#pragma once

#include <optional>
#include <vector>

#include "CorvelKit/base/UUID.h"

namespace ambrel {

class HostObservers;

// Clients waiting for the person at the computer to answer the approval question, oldest first;
// the first one's question is the one on screen. Controller's executor only.
class ApprovalQueue {
 public:
  explicit ApprovalQueue(HostObservers& observers) : observers_(observers) {}

  void push(const corvel::UUID& clientID);
  // False when the client wasn't waiting.
  bool remove(const corvel::UUID& clientID);
  bool contains(const corvel::UUID& clientID) const;
  // The client whose question is on screen.
  std::optional<corvel::UUID> front() const;
  const std::vector<corvel::UUID>& all() const { return waiting_; }

 private:
  HostObservers& observers_;
  std::vector<corvel::UUID> waiting_;
};

}  // namespace ambrel
