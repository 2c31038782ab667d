#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/capture/ScreenCapturer.h"
#include "Ambrel_Host/controller/Clipboard.h"
#include "Ambrel_Host/input/EventPoster.h"

namespace ambrel {

// What the host needs of the desktop session it runs in: the displays, their pictures, synthetic
// input and the clipboard. One is chosen at start for the kind of session (an X server, or a
// Wayland compositor and what it offers); the rest of the host does not know which.
struct DesktopBackend {
  // Which backend this is ("X11", ...) and why it was chosen, for `status`.
  std::string name;
  std::string reason;

  std::shared_ptr<DisplaySource> displays;
  // A capturer per stream (the native clients' and the browser's pipelines each make their own).
  std::function<std::unique_ptr<ScreenCapturer>()> capturer;
  // An event poster per input injector (the native clients' and the browser's).
  std::function<std::unique_ptr<EventPoster>()> eventPoster;
  // Null when the session's clipboard can't be shared.
  std::shared_ptr<Clipboard> clipboard;
};

}  // namespace ambrel
