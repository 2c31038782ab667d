#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CorvelKit/protocol/AnnotationEvent.h"
#include "CorvelKit/protocol/HostStatus.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/MacCommand.h"

namespace ambrel {

class RemoteClient;

// The parts of the host that the controller drives but does not own the workings of. Each is a
// narrow interface; `HostServices::none()` gives do-nothing stand-ins, so the controller runs (and
// is tested) before every part exists, and each part plugs in on its own.

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
};

// Where remote input goes. `handle` is called on a connection's queue and must not block.
class InputSink {
 public:
  virtual ~InputSink() = default;
  virtual void handle(const corvel::protocol::InputEvent& event, std::uint32_t displayID) = 0;
  virtual void releaseAll() = 0;
  virtual bool isTrusted() const = 0;
};

// The border, control pill, annotations and curtain shown on the computer's screens.
class ScreenOverlays {
 public:
  virtual ~ScreenOverlays() = default;
  virtual void refresh() = 0;
  virtual void draw(const corvel::protocol::AnnotationEvent& event, std::uint32_t displayID) = 0;
  virtual void hideAll() = 0;
};

// The session history: who connected, who was turned away, wrong codes.
class SessionLog {
 public:
  virtual ~SessionLog() = default;
  virtual void opened(const RemoteClient& client) = 0;
  virtual void closed(const RemoteClient& client, const std::string& outcome) = 0;
  virtual void declined(const RemoteClient& client) = 0;
  virtual void wrongCode(const std::string& address) = 0;
};

// What a client may ask of the computer itself: its status, host actions and commands.
class SystemCommands {
 public:
  virtual ~SystemCommands() = default;
  // May block on the disk: called off the controller's executor.
  virtual corvel::protocol::HostStatus makeStatus() = 0;
  virtual void lockScreen() = 0;
  virtual void sleepDisplay() = 0;
  virtual void restart() = 0;
  // Runs the command without blocking and calls `done` (on any thread) with the result sentence.
  virtual void run(const corvel::protocol::MacCommand& command,
                   std::function<void(std::string)> done) = 0;
};

// The browser viewer's server.
class BrowserAccess {
 public:
  virtual ~BrowserAccess() = default;
  virtual void start(const std::string& accessCode) = 0;
  virtual void stop() = 0;
};

struct HostServices {
  std::shared_ptr<VideoStreams> streams;
  std::shared_ptr<InputSink> input;
  std::shared_ptr<ScreenOverlays> overlays;
  std::shared_ptr<BrowserAccess> browser;
  std::shared_ptr<SessionLog> history;
  std::shared_ptr<SystemCommands> system;

  // Fills every missing service with a do-nothing stand-in.
  void fillMissing();
};

}  // namespace ambrel
