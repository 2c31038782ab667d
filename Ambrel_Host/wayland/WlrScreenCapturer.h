#pragma once

#include <memory>
#include <string>
#include <thread>

#include "Ambrel_Host/capture/ScreenCapturer.h"

namespace ambrel {

// Screen capture on wlroots compositors: wlr-screencopy into shared memory, the cursor drawn in
// by the compositor, libyuv for NV12. Each copy after the first asks for damage, so the
// compositor answers only once something changed: a still screen costs nothing, and only the
// damaged rows are converted again.
//
// Each running capture has its own connection and thread, shared with the capturer as
// X11ScreenCapturer does: a handler may stop or destroy the capturer, and handlers are called
// without any lock held.
class WlrScreenCapturer final : public ScreenCapturer {
 public:
  // `display` as WaylandConnection::open takes it.
  explicit WlrScreenCapturer(std::string display);
  ~WlrScreenCapturer() override;

  void setFrameHandler(FrameHandler handler) override;
  void setStopHandler(StopHandler handler) override;
  std::error_code start(std::uint32_t displayID, int maxWidth, int fps) override;
  void stop() override;
  void setFrameRate(int fps) override;
  void setMaxWidth(int maxWidth) override;

  struct Session;  // the Wayland state of one running capture

 private:
  struct Shared;
  struct Run;
  static void capture(Shared& shared, Run& run);

  std::string display_;
  const std::shared_ptr<Shared> shared_;

  // Owner thread.
  std::shared_ptr<Run> run_;
  std::thread thread_;
};

}  // namespace ambrel
