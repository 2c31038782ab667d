#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "CorvelKit/protocol/AnnotationEvent.h"
#include "CorvelKit/protocol/HostStatus.h"

namespace ambrel {

class DisplaySource;
class InputInjector;
class KeepAwake;
class RemoteClient;
class SessionHistory;
class SystemActions;

// The parts of the host that the controller drives but does not own the workings of. The video,
// overlay and browser parts are narrow interfaces with do-nothing stand-ins, so the controller
// runs (and is tested) before they exist and each plugs in on its own.

// Per-display video pipelines.
class VideoStreams {
 public:
  virtual ~VideoStreams() = default;
  // Brings the pipelines in line with the admitted clients' displays; true while any runs.
  virtual bool attach(const std::shared_ptr<RemoteClient>& client) = 0;
  virtual bool detach(const RemoteClient& client) = 0;
  virtual void requestKeyframe(std::uint32_t displayID) = 0;
  virtual bool hasPipeline(std::uint32_t displayID) const = 0;
  virtual void stopAll() = 0;

  // Called on the controller's executor when capture stops or fails to start, with whether any
  // pipeline still runs.
  using StopHandler = std::function<void(std::error_code error, bool streaming)>;
  virtual void setStopHandler(StopHandler) {}
  // The picture preset and frame rate: new pipelines use all three, running ones take the bit
  // rate and frame rate.
  virtual void setPreset(int /*maxWidth*/, std::int64_t /*bitrate*/, int /*fps*/) {}
  // What the codec and HDR choice starts from; the viewers' hellos decide the rest.
  virtual void setCodecPreferences(bool /*preferHEVC*/, bool /*preferHDR*/) {}
  // A keyframe of the display's current picture, even when nothing on it changes. Thread-safe.
  virtual void refresh(std::uint32_t /*displayID*/) {}
};

// The border, control pill, annotations and curtain shown on the computer's screens.
class ScreenOverlays {
 public:
  virtual ~ScreenOverlays() = default;
  virtual void refresh() = 0;
  virtual void draw(const corvel::protocol::AnnotationEvent& event, std::uint32_t displayID) = 0;
  virtual void hideAll() = 0;
};

// The browser viewer's server.
class BrowserAccess {
 public:
  virtual ~BrowserAccess() = default;
  virtual void start(const std::string& accessCode) = 0;
  virtual void stop() = 0;
  // The address a browser opens while the server listens ("https://192.168.1.20:5896").
  virtual std::optional<std::string> address() const { return std::nullopt; }
};

struct HostServices {
  std::shared_ptr<VideoStreams> streams;
  std::shared_ptr<ScreenOverlays> overlays;
  std::shared_ptr<BrowserAccess> browser;
  // These may stay empty: the controller then goes without them.
  std::shared_ptr<DisplaySource> displays;   // the screens and word of their changes
  std::shared_ptr<InputInjector> input;      // remote input
  std::shared_ptr<SessionHistory> history;   // the session record
  std::shared_ptr<SystemActions> actions;    // host actions and commands
  std::shared_ptr<KeepAwake> keepAwake;      // no idling while streaming
  // Builds the status sent every 5 seconds; may block on the disk (called off the executor).
  std::function<corvel::protocol::HostStatus()> status;

  // Fills every missing interface with a do-nothing stand-in.
  void fillMissing();
};

}  // namespace ambrel
