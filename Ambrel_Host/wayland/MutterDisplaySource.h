#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/wayland/MutterMonitor.h"
#include "Ambrel_Host/wayland/SdBusHandles.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The displays of a GNOME (mutter) session, from org.gnome.Mutter.DisplayConfig: one per logical
// monitor, in the compositor's order. A watcher thread with a bus connection of its own passes
// each MonitorsChanged signal on to the change handler. Thread-safe.
class MutterDisplaySource final : public DisplaySource {
 public:
  // Fails when the session bus or mutter's DisplayConfig is not there. `busAddress`: a bus of the
  // caller's choice; none: the login session's bus.
  [[nodiscard]] static corvel::Expected<std::shared_ptr<MutterDisplaySource>, std::error_code> open(
      std::optional<std::string> busAddress);
  ~MutterDisplaySource() override;

  corvel::Expected<std::vector<ScreenDisplay>, std::error_code> displays() override;
  void setChangeHandler(std::function<void()> handler) override;

  // The monitors behind the displays, for capture and input.
  corvel::Expected<std::vector<MutterMonitor>, std::error_code> monitors();

  const std::optional<std::string>& busAddress() const { return busAddress_; }

 private:
  MutterDisplaySource(std::optional<std::string> busAddress, SdBus bus);
  void watch();

  const std::optional<std::string> busAddress_;
  std::mutex busMutex_;  // guards bus_ (sd-bus connections are not thread-safe)
  SdBus bus_;

  std::mutex handlerMutex_;  // guards the fields below; never held while the handler runs
  std::condition_variable handlerIdle_;
  std::shared_ptr<const std::function<void()>> handler_;
  bool calling_ = false;
  bool stopping_ = false;
  std::thread watcher_;
};

// Reads the reply of DisplayConfig.GetCurrentState into monitors (exposed for tests of the parser).
[[nodiscard]] corvel::Expected<std::vector<MutterMonitor>, std::error_code> parseMutterState(sd_bus_message* reply);

}  // namespace ambrel
