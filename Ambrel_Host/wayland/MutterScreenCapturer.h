#pragma once

#include <memory>

#include "Ambrel_Host/wayland/PipeWireScreenCapturer.h"

namespace ambrel {

class MutterDisplaySource;

// Screen capture on a GNOME (mutter) desktop: a ScreenCast session of its own recording the
// display's monitor with the cursor drawn in, its picture taken from the PipeWire stream. mutter
// sends a picture only when the monitor was repainted, and names the damage.
class MutterScreenCapturer final : public PipeWireScreenCapturer {
 public:
  explicit MutterScreenCapturer(std::shared_ptr<MutterDisplaySource> displays);

  std::error_code start(std::uint32_t displayID, int maxWidth, int fps) override;

 private:
  std::shared_ptr<MutterDisplaySource> displays_;
};

}  // namespace ambrel
