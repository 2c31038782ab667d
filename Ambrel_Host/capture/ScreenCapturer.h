#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "CorvelKit/media/VideoFrame.h"

namespace ambrel {

// Turns one display into a stream of NV12 frames. Only changed pictures are delivered ("complete"
// frames): while nothing on the display changes and the pointer stays put, nothing arrives.
// Frames are at most `maxWidth` wide (FrameSize::forCapture) and come at most `fps` times a
// second. The cursor is drawn into them.
//
// Frames and the stop notice are delivered on the capturer's own thread, with no lock of the
// capturer held. Install the handlers before start(); a handler may call stop() and may destroy
// the capturer (the last reference to its owner may go there). A handler replaced while capture
// runs may finish a call already under way. start() and stop() are meant for one owner thread;
// the settings may change from any thread while it runs.
class ScreenCapturer {
 public:
  // `frame` is a view of the capturer's buffers: valid only during the call.
  using FrameHandler = std::function<void(const corvel::media::VideoFrame& frame,
                                          std::chrono::steady_clock::time_point capturedAt)>;
  // Called once when capture ends on its own (the display went away, the server closed).
  using StopHandler = std::function<void(std::error_code error)>;

  virtual ~ScreenCapturer() = default;

  virtual void setFrameHandler(FrameHandler handler) = 0;
  virtual void setStopHandler(StopHandler handler) = 0;

  // Stops any running capture, then captures `displayID` (a ScreenDisplay id). The first frame
  // comes right away. Fails when the display or an extension capture needs is missing.
  [[nodiscard]] virtual std::error_code start(std::uint32_t displayID, int maxWidth, int fps) = 0;
  // Ends capture and waits for the capture thread (unless called from a handler, after which no
  // handler runs once the calling one returns); once it returns no handler runs any more. Does
  // nothing when stopped.
  virtual void stop() = 0;

  virtual void setFrameRate(int fps) = 0;
  virtual void setMaxWidth(int maxWidth) = 0;

  // The X11 capturer of the server `displayName` (empty: $DISPLAY).
  static std::unique_ptr<ScreenCapturer> create(std::string displayName);
};

}  // namespace ambrel
