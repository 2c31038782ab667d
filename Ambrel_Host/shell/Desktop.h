#pragma once

#include <functional>
#include <memory>

#include "CorvelKit/base/Executors.h"

namespace ambrel {

class HostController;
class HostOverlays;
class SessionHistory;
class UpdateChecker;

// The host's user interface on the desktop, run on the program's main thread while the host
// runs on its own executor thread. The program works without one (no display, or --headless).
class Desktop {
 public:
  struct Parts {
    std::weak_ptr<HostController> host;
    corvel::Executor executor;                // the host's
    std::shared_ptr<SessionHistory> history;  // may be null
    std::shared_ptr<HostOverlays> overlays;   // draws its border, pill and drawings here; may be null
    // The person chose Quit; the program closes the sessions and then calls stop().
    std::function<void()> quit;
    // The host's update check, on the host's executor; may be null.
    std::weak_ptr<UpdateChecker> updates;
  };

  virtual ~Desktop() = default;
  // Runs the interface until stop(); returns the exit status.
  virtual int run() = 0;
  // Ends run(). Any thread.
  virtual void stop() = 0;
  // Brings the panel to the front (a second start of the program asked for it). Any thread.
  virtual void present() = 0;
};

// Makes the desktop interface, or nothing when it can't run here (no display to open).
using DesktopFactory = std::function<std::unique_ptr<Desktop>(Desktop::Parts)>;

}  // namespace ambrel
