#pragma once

#include <memory>
#include <thread>

#include "Ambrel_Host/capture/ScreenCapturer.h"

namespace ambrel {

class MutterDisplaySource;

// Screen capture on a GNOME (mutter) desktop: a ScreenCast session of its own recording the
// display's monitor with the cursor drawn in, its picture taken from the PipeWire stream and
// turned into NV12 with libyuv. mutter sends a picture only when the monitor was repainted; of
// those, only pictures that differ from the last one go on (inside the damage mutter names, where
// it names any), converted only over the rows that changed.
//
// Everything of a running capture lives in one `Run`, which the PipeWire loop's thread and the
// capturer share: handlers run on that thread without any lock held, and a handler may stop or
// destroy the capturer (the run is then torn down on the shared pool once the handler returns).
class MutterScreenCapturer final : public ScreenCapturer {
 public:
  explicit MutterScreenCapturer(std::shared_ptr<MutterDisplaySource> displays);
  ~MutterScreenCapturer() override;

  void setFrameHandler(FrameHandler handler) override;
  void setStopHandler(StopHandler handler) override;
  std::error_code start(std::uint32_t displayID, int maxWidth, int fps) override;
  void stop() override;
  void setFrameRate(int fps) override;
  void setMaxWidth(int maxWidth) override;

  struct Shared;
  struct Run;

 private:
  std::shared_ptr<MutterDisplaySource> displays_;
  const std::shared_ptr<Shared> shared_;
  std::shared_ptr<Run> run_;  // owner thread
};

}  // namespace ambrel
