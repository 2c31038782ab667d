#pragma once

#include <memory>
#include <set>
#include <string>
#include <thread>

#include "Ambrel_Host/capture/ScreenCapturer.h"

namespace ambrel {

// Screen capture on X11: MIT-SHM reads of the monitor's area of the root window, DAMAGE to tell
// changed pictures from unchanged ones, the XFixes cursor image drawn in, libyuv for NV12.
// Each running capture has its own connection and thread.
//
// The capture thread shares only `Shared` (handlers, settings, the wake-up) and its own `Run` (the
// X session and its stop flag) with the capturer, and holds both: a handler may stop or destroy
// the capturer. stop() joins the thread, except on the thread itself, where the loop ends once the
// handler returns and the join is handed to the shared pool. Handlers are called without any lock
// held.
class X11ScreenCapturer final : public ScreenCapturer {
 public:
  explicit X11ScreenCapturer(std::string displayName);
  ~X11ScreenCapturer() override;

  void setFrameHandler(FrameHandler handler) override;
  void setStopHandler(StopHandler handler) override;
  std::error_code start(std::uint32_t displayID, int maxWidth, int fps) override;
  void stop() override;
  void setFrameRate(int fps) override;
  void setMaxWidth(int maxWidth) override;

  // The window ids read from the exclusion list at the last start.
  const std::set<std::uint32_t>& excludedWindows() const { return excluded_; }

  struct Session;  // the X state of one running capture

 private:
  struct Shared;
  struct Run;
  static void capture(Shared& shared, Run& run);

  std::string displayName_;
  std::set<std::uint32_t> excluded_;
  const std::shared_ptr<Shared> shared_;

  // Owner thread.
  std::shared_ptr<Run> run_;
  std::thread thread_;
};

}  // namespace ambrel
