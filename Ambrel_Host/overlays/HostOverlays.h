#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Ambrel_Host/input/DisplayBounds.h"
#include "Ambrel_Host/overlays/OverlayWindows.h"
#include "Ambrel_Host/overlays/ScreenOverlays.h"
#include "CorvelKit/base/Executors.h"

namespace ambrel {

class CurtainGuard;
class CurtainShortcut;
class GammaCurtain;

// The host's overlays on X11: the curtain itself (black gamma ramps, the guard process that puts
// them back if the host dies, the shortcut at the computer), and the border, control pill and
// drawings through the desktop interface once it runs. On the controller's executor.
class HostOverlays final : public ScreenOverlays {
 public:
  struct Options {
    corvel::Executor executor;
    std::filesystem::path stateFile;     // where the curtain saves the ramps
    std::filesystem::path guardProgram;  // runs as the guard; empty: no guard
    std::string displayName;             // empty: $DISPLAY
    std::function<void()> stop;          // the stop control (pill or shortcut), on the executor
    // Where a display lies on the screen; nothing for a display that isn't there.
    std::function<std::optional<DisplayBounds>(std::uint32_t)> boundsOf;
  };

  explicit HostOverlays(Options options);
  ~HostOverlays() override;

  // The windows that draw on the screens (border, pill, drawings); they may come after the host.
  void setWindows(std::shared_ptr<OverlayWindows> windows);

  void refresh(const OverlayState& state) override;
  void draw(const corvel::protocol::AnnotationEvent& event, std::uint32_t displayID) override;
  void hideAll() override;
  void clearAnnotations() override;

  bool curtainIsOn() const;
  // The drawings, in the order they came.
  const std::vector<corvel::protocol::AnnotationStroke>& strokes() const { return strokes_; }

 private:
  void setCurtain(bool on);

  Options options_;
  void showAnnotations();

  std::shared_ptr<OverlayWindows> windows_;
  OverlayState shown_;
  std::vector<corvel::protocol::AnnotationStroke> strokes_;
  std::uint32_t annotatedDisplay_ = 0;
  std::unique_ptr<GammaCurtain> curtain_;
  std::unique_ptr<CurtainGuard> guard_;
  std::unique_ptr<CurtainShortcut> shortcut_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for the shortcut's callback
};

}  // namespace ambrel
