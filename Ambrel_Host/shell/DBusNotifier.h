#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Ambrel_Host/controller/Notifier.h"
#include "CorvelKit/base/SerialQueue.h"

namespace ambrel {

// Freedesktop notifications: org.freedesktop.Notifications.Notify on the session bus, each a new
// notification from "Ambrel Host" with the title as summary. The bus is reached on a queue of
// its own, so post() never waits. Without a session bus (or a notification server) the
// notification goes to the log instead; a lost bus is looked for again at the next post.
class DBusNotifier final : public Notifier {
 public:
  // The session bus of the environment, or the bus at `busAddress` ("unix:path=...").
  explicit DBusNotifier(std::optional<std::string> busAddress = std::nullopt);
  ~DBusNotifier() override;

  void post(const std::string& title, const std::string& body) override;

  // Blocks until every notification posted so far was delivered or logged.
  void flush();
  // How many notifications a server accepted (for tests and diagnostics).
  int delivered() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  corvel::SerialQueue queue_{"notifications"};
};

}  // namespace ambrel
