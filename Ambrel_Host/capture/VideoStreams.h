#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "Ambrel_Host/capture/StreamViewer.h"

namespace ambrel {

struct CapturedFrame;

// The per-display video pipelines, as the host's logic drives them.
class VideoStreams {
 public:
  virtual ~VideoStreams() = default;
  // Brings the pipelines in line with the viewers' displays; true while any runs.
  virtual bool attach(const std::shared_ptr<StreamViewer>& viewer) = 0;
  virtual bool detach(const StreamViewer& viewer) = 0;
  // Brings the pipelines in line with the viewers already attached (one of them switched
  // display); true while any runs.
  virtual bool update() = 0;
  virtual void requestKeyframe(std::uint32_t displayID) = 0;
  virtual bool hasPipeline(std::uint32_t displayID) const = 0;
  virtual void stopAll() = 0;

  // Called on the owner's executor when capture stops or fails to start, with whether any
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
  // The latest picture of the display's pipeline, if it runs and has one. Thread-safe.
  virtual std::shared_ptr<const CapturedFrame> lastFrame(std::uint32_t /*displayID*/) const { return nullptr; }
  // Whether the computer's sound goes to the viewers while video streams.
  virtual void setShareSound(bool /*on*/) {}
  // What the sound is doing, in a sentence for people; empty where there is no sound at all.
  virtual std::string soundStatus() const { return {}; }

  // Streams that never run (no capture on this computer).
  static std::shared_ptr<VideoStreams> none();
};

}  // namespace ambrel
