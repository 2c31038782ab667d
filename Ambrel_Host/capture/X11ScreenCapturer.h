#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "Ambrel_Host/capture/ScreenCapturer.h"

namespace ambrel {

// Screen capture on X11: MIT-SHM reads of the monitor's area of the root window, DAMAGE to tell
// changed pictures from unchanged ones, the XFixes cursor image drawn in, libyuv for NV12.
// Each running capture has its own connection and thread.
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
  void run(Session& session);
  void deliverStop(std::error_code error);

  std::string displayName_;
  std::atomic<int> fps_{60};
  std::atomic<int> maxWidth_{0};
  std::set<std::uint32_t> excluded_;

  std::mutex handlerMutex_;  // held while a handler runs
  FrameHandler onFrame_;
  StopHandler onStop_;

  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool settingsChanged_ = false;

  std::unique_ptr<Session> session_;
  std::thread thread_;
};

}  // namespace ambrel
