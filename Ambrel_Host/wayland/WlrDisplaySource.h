#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "CorvelKit/base/UniqueFd.h"

namespace ambrel {

class WaylandConnection;
class WaylandOutputs;

// The displays of a Wayland compositor: one per output, from wl_output and xdg-output. A watcher
// thread dispatches the connection's events and passes each change of the outputs on to the
// change handler.
class WlrDisplaySource final : public DisplaySource {
 public:
  // `display` as WaylandConnection::open takes it.
  [[nodiscard]] static corvel::Expected<std::unique_ptr<WlrDisplaySource>, std::error_code> open(
      const std::string& display);
  ~WlrDisplaySource() override;

  corvel::Expected<std::vector<ScreenDisplay>, std::error_code> displays() override;
  void setChangeHandler(std::function<void()> handler) override;

 private:
  WlrDisplaySource(std::unique_ptr<WaylandConnection> connection, std::unique_ptr<WaylandOutputs> outputs);
  void watch();

  std::unique_ptr<WaylandConnection> connection_;
  std::unique_ptr<WaylandOutputs> outputs_;  // the watcher's, once it runs
  corvel::UniqueFd wake_;                    // an eventfd that ends the watcher

  std::mutex mutex_;  // guards the fields below; never held while the handler runs
  std::condition_variable handlerIdle_;
  std::vector<ScreenDisplay> known_;
  bool broken_ = false;
  std::shared_ptr<const std::function<void()>> handler_;
  bool calling_ = false;  // the watcher is in a call of the handler
  std::thread watcher_;
};

}  // namespace ambrel
