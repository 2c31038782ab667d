#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "CorvelKit/base/UniqueFd.h"

namespace ambrel {

struct XcbScreen;

// The displays of an X server: one per RandR monitor. A watcher thread waits for RandR's screen,
// CRTC and output change notifications and passes each on to the change handler.
class X11DisplaySource final : public DisplaySource {
 public:
  [[nodiscard]] static corvel::Expected<std::unique_ptr<X11DisplaySource>, std::error_code> open(
      const std::string& displayName);
  ~X11DisplaySource() override;

  corvel::Expected<std::vector<ScreenDisplay>, std::error_code> displays() override;
  void setChangeHandler(std::function<void()> handler) override;

 private:
  explicit X11DisplaySource(std::unique_ptr<XcbScreen> screen);
  void watch();

  std::unique_ptr<XcbScreen> screen_;
  corvel::UniqueFd wake_;  // an eventfd that ends the watcher
  std::mutex handlerMutex_;  // guards the fields below; never held while the handler runs
  std::condition_variable handlerIdle_;
  std::shared_ptr<const std::function<void()>> handler_;
  bool calling_ = false;  // the watcher is in a call of the handler
  std::thread watcher_;
};

}  // namespace ambrel
