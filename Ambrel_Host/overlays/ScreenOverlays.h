#pragma once

#include <cstdint>
#include <memory>

#include "Ambrel_Host/overlays/OverlayState.h"
#include "CorvelKit/protocol/AnnotationEvent.h"

namespace ambrel {

// The border, control pill, annotations and curtain shown on the computer's screens.
class ScreenOverlays {
 public:
  virtual ~ScreenOverlays() = default;
  // Brings the overlays in line with the sessions.
  virtual void refresh(const OverlayState& state) = 0;
  virtual void draw(const corvel::protocol::AnnotationEvent& event, std::uint32_t displayID) = 0;
  virtual void hideAll() = 0;
  // Removes every drawing from the screens.
  virtual void clearAnnotations() = 0;

  // Overlays that show nothing (no desktop to draw on).
  static std::shared_ptr<ScreenOverlays> none();
};

}  // namespace ambrel
