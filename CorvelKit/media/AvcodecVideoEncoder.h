#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "CorvelKit/media/VideoEncoder.h"

namespace corvel::media {

// The encoder on libavcodec. For each session it tries, in order, NVENC and VAAPI when its options
// name them (it looks for no device itself) and then the software encoder (libx264 for H.264,
// libx265 for HEVC); a hardware encoder that fails to open is not tried again by this instance. Annex B output becomes length-prefixed NAL units, with the parameter sets taken out
// into the packet on keyframes.
class AvcodecVideoEncoder final : public VideoEncoder {
 public:
  struct Options {
    // Software only unless the caller names the hardware it found.
    HardwareEncoders hardware;
    // Speed preset of libx264 (libx265 always runs at its fastest): "superfast" keeps 1080p at
    // 60 frames a second within a frame time on two cores.
    std::string x264Preset = "superfast";
  };

  AvcodecVideoEncoder(int bitsPerSecond, int fps);
  AvcodecVideoEncoder(int bitsPerSecond, int fps, Options options);
  ~AvcodecVideoEncoder() override;
  AvcodecVideoEncoder(const AvcodecVideoEncoder&) = delete;
  AvcodecVideoEncoder& operator=(const AvcodecVideoEncoder&) = delete;

  void setOnPacket(PacketHandler handler) override;
  void encode(const VideoFrame& frame, std::chrono::microseconds pts) override;
  void requestKeyframe() override;
  void setBitrate(int bitsPerSecond) override;
  void configure(int bitsPerSecond, int fps, std::optional<VideoCodec> codec,
                 std::optional<bool> hdr) override;
  void invalidate() override;

  // Observers, for the owner's diagnostics and for tests.
  int bitrate() const;
  int fps() const;
  VideoCodec codec() const;
  bool hdr() const;
  // Size of the current session; 0 × 0 without one.
  int sessionWidth() const;
  int sessionHeight() const;
  // How many sessions were built so far: a change that needs no rebuild leaves it alone.
  int sessionsBuilt() const;
  // The libavcodec encoder of the current session ("libx264", "h264_vaapi", …), or empty.
  std::string encoderName() const;

 private:
  struct Session;

  void buildSession(int width, int height);
  void drain(Session& session);
  void emit(Session& session, const void* avPacket);

  Options options_;
  PacketHandler onPacket_;
  std::unique_ptr<Session> session_;
  int sessionsBuilt_ = 0;
  bool nvencFailed_ = false;
  bool vaapiFailed_ = false;
  std::string loggedEncoder_;
  std::optional<std::int64_t> lastKeyframeMicros_;

  mutable std::mutex lock_;  // guards the fields below
  bool forceKeyframe_ = true;
  int bitrate_;
  int fps_;
  VideoCodec codec_ = VideoCodec::h264;
  bool hdr_ = false;
};

}  // namespace corvel::media
