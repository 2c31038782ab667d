#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include "Ambrel_Host/capture/DisplayStreams.h"
#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/base/SerialQueue.h"

namespace ambrel {

class BrowserClient;

// The browser viewers' picture: display streams of their own (H.264, 8 Mbit/s, 60 fps, at most
// 2304 pixels wide) that show the host's main display to every viewer. The first viewer starts
// capture and the last one's leaving stops it; the display is chosen again (the main one, else the
// first) whenever capture starts.
//
// The viewers never hold the stream back (each one's VideoFlow says so): a slow browser misses
// frames and waits for a keyframe, the others go on.
//
// Threads: the streams belong to the object's own queue ("corvel.browser.video"); attach(),
// detach() and stop() post there, so that starting capture never holds up the connections.
// pipeline() may be called from any thread.
class BrowserVideo final : public std::enable_shared_from_this<BrowserVideo> {
 public:
  static constexpr std::int64_t bitrate = 8'000'000;
  static constexpr int frameRate = 60;
  static constexpr int maxWidth = 2304;

  struct Parts {
    // Capturer and encoder of the pipeline.
    DisplayStreams::Parts video;
    // The displays to choose from.
    std::function<corvel::Expected<std::vector<ScreenDisplay>, std::error_code>()> displays;
    // Told, on the queue, of the display capture is about to start on.
    std::function<void(const ScreenDisplay&)> onDisplay;
  };

  static std::shared_ptr<BrowserVideo> create(Parts parts);
  ~BrowserVideo();
  BrowserVideo(const BrowserVideo&) = delete;
  BrowserVideo& operator=(const BrowserVideo&) = delete;

  // A viewer joins: it starts at a keyframe of the current picture.
  void attach(std::shared_ptr<BrowserClient> viewer);
  void detach(std::shared_ptr<BrowserClient> viewer);
  // Stops capture; the viewers attached so far are forgotten.
  void stop();

  // The running pipeline, if any.
  std::shared_ptr<VideoPipeline> pipeline() const;

 private:
  explicit BrowserVideo(Parts parts);

  // On the queue.
  void attachNow(const std::shared_ptr<BrowserClient>& viewer);
  void detachNow(const std::shared_ptr<BrowserClient>& viewer);
  void stopNow();
  // Chooses the display for a capture about to start; false when there is none.
  bool chooseDisplay();

  const Parts parts_;
  corvel::SerialQueue queue_{"corvel.browser.video"};
  const std::shared_ptr<DisplayStreams> streams_;

  // Queue only.
  std::vector<std::weak_ptr<BrowserClient>> viewers_;  // attached, or waiting for a display

  std::atomic<std::uint32_t> displayID_{0};  // the display shown, 0 before the first
};

}  // namespace ambrel
