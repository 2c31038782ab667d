#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "CorvelKit/media/HardwareEncoders.h"
#include "CorvelKit/media/VideoCodec.h"
#include "CorvelKit/media/VideoFrame.h"
#include "CorvelKit/media/VideoPacket.h"

namespace corvel::media {

// Compresses captured frames into H.264 or HEVC packets for interactive display: one frame in,
// one packet out, no reordering, a keyframe at least every 10 seconds and whenever asked.
//
// Threads: `encode`, `setOnPacket`, `setBitrate`, `configure` and `invalidate` belong to the
// owner's capture strand; `requestKeyframe` may be called from anywhere. The packet handler is
// called on the capture strand, from inside `encode` (and `invalidate`, for frames still pending).
class VideoEncoder {
 public:
  using PacketHandler = std::function<void(VideoPacket)>;

  virtual ~VideoEncoder() = default;

  virtual void setOnPacket(PacketHandler handler) = 0;

  // Encodes one frame shown at `pts`. A frame that cannot be encoded is dropped; the stream
  // goes on with the next one.
  virtual void encode(const VideoFrame& frame, std::chrono::microseconds pts) = 0;

  // The next frame becomes a keyframe.
  virtual void requestKeyframe() = 0;

  // New average bit rate, applied to the running session where the encoder allows it.
  virtual void setBitrate(int bitsPerSecond) = 0;

  // New settings; absent codec or HDR keep the current ones. The next frame starts a new
  // session with a keyframe. HDR is stored but there is no HDR path on this platform.
  virtual void configure(int bitsPerSecond, int fps, std::optional<VideoCodec> codec,
                         std::optional<bool> hdr) = 0;

  // Finishes pending frames and drops the session; the next frame starts a new one with a
  // keyframe.
  virtual void invalidate() = 0;

  // The encoder of this build: the hardware encoders named in `hardware` where they work,
  // software otherwise.
  static std::unique_ptr<VideoEncoder> make(int bitsPerSecond, int fps,
                                            HardwareEncoders hardware = {});
};

}  // namespace corvel::media
