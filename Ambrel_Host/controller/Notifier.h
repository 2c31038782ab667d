#pragma once

#include <memory>
#include <string>

namespace ambrel {

// Immediate notifications for the person at the computer: a title and a body.
class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void post(const std::string& title, const std::string& body) = 0;

  // Notifications that only go to the log (no desktop to show them on).
  static std::unique_ptr<Notifier> logOnly();
};

}  // namespace ambrel
