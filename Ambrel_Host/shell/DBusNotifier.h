#pragma once

#include <filesystem>
#include <functional>
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
//
// A notification about a file offers an "Open" action where the server shows actions; choosing
// it hands the file to `open`. The bus is looked at for that choice while such notifications
// are on screen.
class DBusNotifier final : public Notifier {
 public:
  using Opener = std::function<void(const std::filesystem::path&)>;

  // The session bus of the environment, or the bus at `busAddress` ("unix:path=...").
  explicit DBusNotifier(std::optional<std::string> busAddress = std::nullopt, Opener open = {});
  ~DBusNotifier() override;

  void post(const std::string& title, const std::string& body) override;
  void postFile(const std::string& title, const std::string& body,
                const std::filesystem::path& file) override;

  // Blocks until every notification posted so far was delivered or logged.
  void flush();
  // How many notifications a server accepted (for tests and diagnostics).
  int delivered() const;

 private:
  struct State;
  corvel::SerialQueue queue_{"notifications"};
  std::shared_ptr<State> state_;
};

}  // namespace ambrel
