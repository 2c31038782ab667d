#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace ambrel {

// Immediate notifications for the person at the computer: a title and a body.
class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void post(const std::string& title, const std::string& body) = 0;
  // A notification about a file, which offers to open it where the desktop can.
  virtual void postFile(const std::string& title, const std::string& body,
                        const std::filesystem::path& /*file*/) {
    post(title, body);
  }

  // Notifications that only go to the log (no desktop to show them on).
  static std::unique_ptr<Notifier> logOnly();
};

}  // namespace ambrel
