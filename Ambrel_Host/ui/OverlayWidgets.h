#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Ambrel_Host/input/DisplayBounds.h"
#include "Ambrel_Host/overlays/OverlayWindows.h"
#include "CorvelKit/protocol/AnnotationStroke.h"

class QObject;
class QWidget;

namespace ambrel {

class AnnotationLayer;
class BorderWindow;
class ControlPill;

// The border, control pill and drawing windows over the screens. They bypass the window manager,
// stay above other windows and let the mouse through, except the pill with its Stop button.
// Made once and moved as needed. Interface thread only; windows() hands the host a way to
// drive them from its own thread.
class OverlayWidgets {
 public:
  explicit OverlayWidgets(std::function<void()> stop);
  ~OverlayWidgets();
  OverlayWidgets(const OverlayWidgets&) = delete;
  OverlayWidgets& operator=(const OverlayWidgets&) = delete;

  void showControl(const DisplayBounds& display, const std::string& text, bool isSupport);
  void hideControl();
  void showAnnotations(const DisplayBounds& display, const std::vector<corvel::protocol::AnnotationStroke>& strokes);
  void hideAnnotations();

  // For any thread: each call is carried out here, in order, while this object lives.
  std::shared_ptr<OverlayWindows> windows();

  BorderWindow* border() const { return border_.get(); }
  ControlPill* pill() const { return pill_.get(); }
  AnnotationLayer* annotations() const { return annotations_.get(); }

 private:
  struct Mailbox;

  std::function<void()> stop_;
  std::unique_ptr<BorderWindow> border_;
  std::unique_ptr<ControlPill> pill_;
  std::unique_ptr<AnnotationLayer> annotations_;
  std::unique_ptr<QObject> receiver_;
  std::shared_ptr<Mailbox> mailbox_;
};

}  // namespace ambrel
