#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "Ambrel_Host/browser/BrowserAccess.h"
#include "Ambrel_Host/capture/VideoStreams.h"
#include "Ambrel_Host/overlays/ScreenOverlays.h"
#include "CorvelKit/protocol/HostStatus.h"

namespace corvel::cloud {
class CloudDatabase;
}

namespace ambrel {

class AwakeAssertion;
class Clipboard;
class ScreenReader;
class DisplaySource;
class InputInjector;
class LoginItem;
class SessionLog;
class SystemActions;
class PortMapper;
class NatHostPuncher;

// The parts of the host that the controller drives but does not own the workings of. The video,
// overlay and browser parts have do-nothing stand-ins, so the controller runs (and is tested)
// without them.
struct HostServices {
  std::shared_ptr<VideoStreams> streams;
  std::shared_ptr<ScreenOverlays> overlays;
  std::shared_ptr<BrowserAccess> browser;
  // These may stay empty: the controller then goes without them.
  std::shared_ptr<DisplaySource> displays;   // the screens and word of their changes
  std::shared_ptr<InputInjector> input;      // remote input
  std::shared_ptr<SessionLog> history;       // the session record
  std::shared_ptr<SystemActions> actions;    // host actions and commands
  std::shared_ptr<AwakeAssertion> keepAwake; // no idling while streaming
  std::shared_ptr<Clipboard> clipboard;      // the desktop's clipboard, for sharing it
  std::shared_ptr<ScreenReader> screenReader; // screen text and screenshots
  std::shared_ptr<LoginItem> loginItem;      // starting at login
  std::shared_ptr<corvel::cloud::CloudDatabase> cloud;  // presence and commands of the owner's devices
  std::shared_ptr<PortMapper> portMapper;  // the home router's forwarding of the listening port
  std::shared_ptr<NatHostPuncher> holePuncher;  // used when the natHolePunch setting is on
  // Builds the status sent every 5 seconds; may block on the disk (called off the executor).
  std::function<corvel::protocol::HostStatus()> status;

  // Fills every missing interface with a do-nothing stand-in.
  void fillMissing();
};

}  // namespace ambrel
