#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "Ambrel_Host/capture/BitrateAdapter.h"
#include "Ambrel_Host/capture/CapturedFrame.h"
#include "Ambrel_Host/capture/ScreenCapturer.h"
#include "Ambrel_Host/capture/VideoTarget.h"
#include "CorvelKit/base/SerialQueue.h"
#include "CorvelKit/media/VideoEncoder.h"

namespace ambrel {

// One display's video: capture → encoder → `video` messages to the clients watching it.
//
// Flow control follows each target's VideoFlow. Viewers that hold the display back (the native
// ones): a frame is skipped before encoding while any of them has `maxInFlight` packets
// outstanding, and one that misses a packet gets nothing until the next keyframe, which is then
// forced at once. Viewers that drop behind (the browser's): never a reason to skip; a packet that
// finds one full is dropped for it alone, it waits for a keyframe, and asks for one (a refresh)
// once a slot is free again. Every two seconds (closed by the next packet) the counters are
// logged and the bit rate adapted to the share of skipped frames (BitrateAdapter).
//
// An HEVC encoder that cannot hold 95 % of the frame rate (judged by the time it takes per frame)
// for two windows in a row gives way to H.264, with a keyframe; the packets carry their codec, so
// viewers follow. The pipeline then stays with H.264 whatever codec it is asked for later.
//
// Threads: frames arrive on the capturer's thread and are encoded there; refresh() encodes on the
// pipeline's own queue. The encoder is only touched under `encoderMutex_` (capture thread, the
// queue and the owner's reconfigurations). The packets an encoder call produces are queued and
// handed on, in order, once `encoderMutex_` is released, by whichever thread finds the queue
// waiting: handlers and targets never run under a lock of the pipeline. `mutex_` guards targets,
// the last frame, the statistics, the bit-rate state and that queue; it is never held while a
// target's lock is taken. The last reference may go on any thread, the capturer's own included
// (from a handler or a target's completion).
class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using StopHandler = std::function<void(std::error_code)>;
  // Sees every packet and its wire bytes before the targets do.
  using EncodedHandler =
      std::function<void(const corvel::media::VideoPacket&, const corvel::Bytes& wire)>;

  struct Statistics {
    std::int64_t captured = 0;
    std::int64_t skipped = 0;
    std::int64_t encoded = 0;
    std::int64_t bytes = 0;
    std::int64_t keyframes = 0;
    std::int64_t encodeCalls = 0;
    std::chrono::steady_clock::duration encoding{};  // spent inside the encoder
  };

  static constexpr int maxInFlight = VideoFlow::defaultMaxInFlight;
  static constexpr std::chrono::seconds statisticsWindow{2};
  // A viewer that holds the display back but has taken nothing for this long stops holding it:
  // the others go on, and it rejoins at a keyframe once its queue drains.
  static constexpr std::chrono::seconds stallLimit{5};
  // The share of the frame rate an encoder must be able to hold, judged over windows with at least
  // `encodesToJudge` frames, and how many such windows in a row make it give way.
  static constexpr double minimumRateShare = 0.95;
  static constexpr std::int64_t encodesToJudge = 10;
  static constexpr int slowWindowsToGiveWay = 2;

  // Frames every pipeline of this process has encoded so far (for the metrics payloads).
  static std::uint64_t framesEncoded();

  static std::shared_ptr<VideoPipeline> create(std::unique_ptr<ScreenCapturer> capturer,
                                               std::unique_ptr<corvel::media::VideoEncoder> encoder,
                                               std::int64_t bitrate,
                                               Clock clock = std::chrono::steady_clock::now);
  ~VideoPipeline();
  VideoPipeline(const VideoPipeline&) = delete;
  VideoPipeline& operator=(const VideoPipeline&) = delete;

  // Called on the capturer's thread when capture ends on its own; the handler may stop or drop
  // the pipeline.
  void setOnStop(StopHandler handler);
  void setOnEncoded(EncodedHandler handler);

  // Starts capturing `displayID`. Owner thread.
  [[nodiscard]] std::error_code start(std::uint32_t displayID, int maxWidth, int fps, bool hdr);
  // Stops capture and the encoder and forgets the targets; the pipeline is not started again.
  void stop();

  // A new target bit rate (also the rate in use) and frame rate; rebuilds the encoder session.
  void setBitrate(std::int64_t bitrate, int fps);
  // Rebuilds the encoder for another codec or HDR choice and sends a keyframe of the current
  // picture; unchanged values do nothing.
  void setCodec(corvel::media::VideoCodec codec, std::int64_t bitrate, bool hdr);
  // A keyframe of the last captured picture, at once (on the pipeline's queue).
  void refresh();
  void requestKeyframe();

  void setTargets(std::vector<std::shared_ptr<VideoTarget>> targets);

  std::shared_ptr<const CapturedFrame> lastFrame() const;
  std::int64_t currentBitrate() const;
  std::int64_t targetBitrate() const;

 private:
  VideoPipeline(std::unique_ptr<ScreenCapturer> capturer,
                std::unique_ptr<corvel::media::VideoEncoder> encoder, std::int64_t bitrate,
                Clock clock);
  // A packet as it waits to be handed on.
  struct Encoded {
    corvel::media::VideoPacket packet;
    std::shared_ptr<const corvel::Bytes> wire;
  };

  void installHandlers();
  void handleFrame(const corvel::media::VideoFrame& frame,
                   std::chrono::steady_clock::time_point capturedAt);
  // The encoder's packet handler: under encoderMutex_, from inside an encoder call.
  void collect(corvel::media::VideoPacket packet);
  // Hands on the queued packets unless another thread is at it. No lock held.
  void deliver();
  void fanOut(const Encoded& encoded, const std::vector<std::shared_ptr<VideoTarget>>& targets);
  // Under encoderMutex_.
  void encodeLocked(const corvel::media::VideoFrame& frame,
                    std::chrono::steady_clock::time_point capturedAt);
  // Under mutex_, from inside an encoder call (so under encoderMutex_ too); returns a new bit rate
  // to apply, and may leave a cheaper codec in pendingCodec_.
  std::optional<std::int64_t> account(const corvel::media::VideoPacket& packet, std::size_t size);
  // Whether the encoder kept up in the window that closes; under both locks.
  void judgeEncoderSpeed();

  const std::unique_ptr<ScreenCapturer> capturer_;
  const Clock clock_;
  corvel::SerialQueue queue_{"video pipeline"};

  std::mutex encoderMutex_;  // guards the fields below
  std::unique_ptr<corvel::media::VideoEncoder> encoder_;
  std::optional<std::int64_t> pendingBitrate_;
  std::chrono::microseconds lastPts_{-1};
  corvel::media::VideoCodec codec_ = corvel::media::VideoCodec::h264;
  std::optional<corvel::media::VideoCodec> pendingCodec_;  // decided while encoding
  bool hevcTooSlow_ = false;
  bool encoderStopped_ = false;

  mutable std::mutex mutex_;  // guards the fields below
  StopHandler onStop_;
  EncodedHandler onEncoded_;
  std::vector<std::shared_ptr<VideoTarget>> targets_;
  std::shared_ptr<CapturedFrame> lastFrame_;
  Statistics stats_;
  std::chrono::steady_clock::time_point statsStart_;
  BitrateAdapter adapter_;
  int fps_ = 60;
  bool hdr_ = false;
  int slowWindows_ = 0;
  std::vector<Encoded> outbox_;  // encoded, not yet handed on
  bool delivering_ = false;      // a thread is handing packets on
  bool stopped_ = false;
};

}  // namespace ambrel
