#include "Ambrel_Host/capture/VideoPipeline.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("video"); }
}  // namespace

using corvel::media::VideoCodec;
using corvel::media::VideoFrame;
using corvel::media::VideoPacket;

std::shared_ptr<VideoPipeline> VideoPipeline::create(
    std::unique_ptr<ScreenCapturer> capturer, std::unique_ptr<corvel::media::VideoEncoder> encoder,
    std::int64_t bitrate, Clock clock) {
  std::shared_ptr<VideoPipeline> pipeline(
      new VideoPipeline(std::move(capturer), std::move(encoder), bitrate, std::move(clock)));
  pipeline->installHandlers();
  return pipeline;
}

VideoPipeline::VideoPipeline(std::unique_ptr<ScreenCapturer> capturer,
                             std::unique_ptr<corvel::media::VideoEncoder> encoder,
                             std::int64_t bitrate, Clock clock)
    : capturer_(std::move(capturer)),
      clock_(std::move(clock)),
      encoder_(std::move(encoder)),
      statsStart_(clock_()),
      adapter_(bitrate) {}

VideoPipeline::~VideoPipeline() { stop(); }

void VideoPipeline::installHandlers() {
  std::weak_ptr<VideoPipeline> weak = weak_from_this();
  capturer_->setFrameHandler(
      [weak](const VideoFrame& frame, std::chrono::steady_clock::time_point capturedAt) {
        if (auto self = weak.lock()) self->handleFrame(frame, capturedAt);
      });
  capturer_->setStopHandler([weak](std::error_code error) {
    auto self = weak.lock();
    if (!self) return;
    StopHandler handler;
    {
      std::lock_guard lock(self->mutex_);
      handler = self->onStop_;
    }
    if (handler) handler(error);
  });
  encoder_->setOnPacket([weak](VideoPacket packet) {
    if (auto self = weak.lock()) self->collect(std::move(packet));
  });
}

// The handlers and targets replaced below go once the lock is released: what they hold may call
// back into the pipeline as it is destroyed.
void VideoPipeline::setOnStop(StopHandler handler) {
  std::lock_guard lock(mutex_);
  onStop_.swap(handler);
}

void VideoPipeline::setOnEncoded(EncodedHandler handler) {
  std::lock_guard lock(mutex_);
  onEncoded_.swap(handler);
}

std::error_code VideoPipeline::start(std::uint32_t displayID, int maxWidth, int fps, bool hdr) {
  {
    std::lock_guard lock(mutex_);
    fps_ = fps;
    hdr_ = hdr;
  }
  return capturer_->start(displayID, maxWidth, fps);
}

void VideoPipeline::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  // On the capturer's own thread (from a handler) this returns at once; the capture loop ends as
  // soon as the handler returns.
  capturer_->stop();
  {
    std::lock_guard lock(encoderMutex_);
    encoder_->invalidate();
    encoder_->setOnPacket(nullptr);
    encoderStopped_ = true;
  }
  std::vector<std::shared_ptr<VideoTarget>> targets;
  std::vector<Encoded> unsent;
  EncodedHandler onEncoded;
  StopHandler onStop;
  {
    std::lock_guard lock(mutex_);
    lastFrame_.reset();
    targets.swap(targets_);
    unsent.swap(outbox_);
    onEncoded.swap(onEncoded_);
    onStop.swap(onStop_);
  }
  capturer_->setFrameHandler(nullptr);
  capturer_->setStopHandler(nullptr);
}

void VideoPipeline::setBitrate(std::int64_t bitrate, int fps) {
  {
    std::lock_guard lock(mutex_);
    adapter_.reset(bitrate);
    // The capture rate follows, so that the encoder's rate control matches the frames it gets.
    fps_ = fps;
  }
  capturer_->setFrameRate(fps);
  {
    std::lock_guard lock(encoderMutex_);
    pendingBitrate_.reset();
    if (!encoderStopped_) encoder_->configure(static_cast<int>(bitrate), fps, std::nullopt, std::nullopt);
  }
  deliver();
}

void VideoPipeline::setCodec(VideoCodec codec, std::int64_t bitrate, bool hdr) {
  int fps = 0;
  {
    std::lock_guard encoderLock(encoderMutex_);
    std::lock_guard lock(mutex_);
    if (codec == VideoCodec::hevc && hevcTooSlow_) {
      codec = VideoCodec::h264;
      hdr = false;
    }
    if (encoderStopped_ || (codec == codec_ && hdr == hdr_)) return;
    codec_ = codec;
    hdr_ = hdr;
    fps = fps_;
  }
  {
    std::lock_guard lock(encoderMutex_);
    if (encoderStopped_) return;
    encoder_->configure(static_cast<int>(bitrate), fps, codec, hdr);
  }
  deliver();
  refresh();
}

void VideoPipeline::refresh() {
  std::weak_ptr<VideoPipeline> weak = weak_from_this();
  queue_.post([weak] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<const CapturedFrame> frame;
    {
      std::lock_guard lock(self->mutex_);
      frame = self->lastFrame_;
    }
    if (!frame) return;
    {
      std::lock_guard lock(self->encoderMutex_);
      if (self->encoderStopped_) return;
      self->encoder_->requestKeyframe();
      self->encodeLocked(frame->view(), frame->capturedAt);
    }
    self->deliver();
  });
}

void VideoPipeline::requestKeyframe() { encoder_->requestKeyframe(); }

void VideoPipeline::setTargets(std::vector<std::shared_ptr<VideoTarget>> targets) {
  std::lock_guard lock(mutex_);
  if (!stopped_) targets_.swap(targets);
}

std::shared_ptr<const CapturedFrame> VideoPipeline::lastFrame() const {
  std::lock_guard lock(mutex_);
  return lastFrame_;
}

std::int64_t VideoPipeline::currentBitrate() const {
  std::lock_guard lock(mutex_);
  return adapter_.current();
}

std::int64_t VideoPipeline::targetBitrate() const {
  std::lock_guard lock(mutex_);
  return adapter_.target();
}

void VideoPipeline::handleFrame(const VideoFrame& frame,
                                std::chrono::steady_clock::time_point capturedAt) {
  if (!frame.isValid()) return;
  std::vector<std::shared_ptr<VideoTarget>> targets;
  {
    std::lock_guard lock(mutex_);
    // A copy still held by a reader (a refresh, a screenshot) is left alone.
    if (!lastFrame_ || lastFrame_.use_count() > 1) lastFrame_ = std::make_shared<CapturedFrame>();
    lastFrame_->assign(frame, capturedAt);
    ++stats_.captured;
    targets = targets_;
  }
  bool congested = false;
  const auto now = clock_();
  for (auto& target : targets) {
    target->withVideoFlow([&](VideoFlow& flow) {
      if (!flow.isViewer || flow.pacing != VideoPacing::holdsBack || flow.inFlight < flow.maxInFlight) {
        return;
      }
      // A viewer that took nothing for this long no longer holds the others back: it waits for
      // a keyframe, which it gets once its queue drains.
      if (flow.stalled || now - flow.lastProgress > stallLimit) {
        flow.stalled = true;
        flow.needsKeyframe = true;
        return;
      }
      congested = true;
    });
    if (congested) break;
  }
  if (congested) {
    std::lock_guard lock(mutex_);
    ++stats_.skipped;
    return;
  }
  {
    std::lock_guard lock(encoderMutex_);
    if (encoderStopped_) return;
    encodeLocked(frame, capturedAt);
  }
  deliver();
}

void VideoPipeline::encodeLocked(const VideoFrame& frame,
                                 std::chrono::steady_clock::time_point capturedAt) {
  // A refresh re-encodes a frame already sent: its time moves on so times keep increasing.
  auto pts = std::chrono::duration_cast<std::chrono::microseconds>(capturedAt.time_since_epoch());
  pts = std::max(pts, lastPts_ + std::chrono::microseconds(1));
  lastPts_ = pts;
  const auto began = clock_();
  encoder_->encode(frame, pts);
  const auto took = clock_() - began;
  {
    std::lock_guard lock(mutex_);
    stats_.encoding += took;
    ++stats_.encodeCalls;
  }
  // What was decided while encoding: applied here, outside the encoder's own call.
  if (auto codec = std::exchange(pendingCodec_, std::nullopt)) {
    std::int64_t bitrate = 0;
    int fps = 0;
    {
      std::lock_guard lock(mutex_);
      codec_ = *codec;
      hdr_ = false;
      bitrate = adapter_.current();
      fps = fps_;
    }
    pendingBitrate_.reset();
    encoder_->configure(static_cast<int>(bitrate), fps, *codec, false);
    encoder_->requestKeyframe();
  } else if (auto bitrate = std::exchange(pendingBitrate_, std::nullopt)) {
    encoder_->setBitrate(static_cast<int>(*bitrate));
  }
}

void VideoPipeline::judgeEncoderSpeed() {
  if (stats_.encodeCalls < encodesToJudge) return;  // too few frames to tell (a still screen)
  const double seconds = std::chrono::duration<double>(stats_.encoding).count();
  const double canHold = seconds > 0 ? static_cast<double>(stats_.encodeCalls) / seconds : 1e9;
  if (canHold >= minimumRateShare * fps_) {
    slowWindows_ = 0;
    return;
  }
  if (++slowWindows_ < slowWindowsToGiveWay || codec_ != VideoCodec::hevc) return;
  log().warn("HEVC encoding holds only {} frames/s of {} here: switching to H.264",
             static_cast<long>(canHold), fps_);
  hevcTooSlow_ = true;
  pendingCodec_ = VideoCodec::h264;
  slowWindows_ = 0;
}

namespace {
std::atomic<std::uint64_t> encodedInProcess{0};
}  // namespace

std::uint64_t VideoPipeline::framesEncoded() { return encodedInProcess.load(std::memory_order_relaxed); }

std::optional<std::int64_t> VideoPipeline::account(const VideoPacket& packet, std::size_t size) {
  encodedInProcess.fetch_add(1, std::memory_order_relaxed);
  ++stats_.encoded;
  stats_.bytes += static_cast<std::int64_t>(size);
  if (packet.isKeyframe) ++stats_.keyframes;
  const auto now = clock_();
  const double elapsed = std::chrono::duration<double>(now - statsStart_).count();
  if (elapsed < 2.0) return std::nullopt;
  const double skipRatio = stats_.captured < 1 ? 0.0
                                               : static_cast<double>(stats_.skipped) /
                                                     static_cast<double>(stats_.captured);
  auto changed = adapter_.closeWindow(skipRatio);
  judgeEncoderSpeed();
  if (changed) {
    log().info("adaptive bitrate → {} kbit/s (skip {}%)", *changed / 1000,
               static_cast<long>(skipRatio * 100));
  }
  auto perSecond = [&](double n) { return static_cast<long>(n / elapsed); };
  log().debug("video {} captured/s, {} skipped/s, {} sent/s, {} kbit/s, {} keyframes",
              perSecond(static_cast<double>(stats_.captured)),
              perSecond(static_cast<double>(stats_.skipped)),
              perSecond(static_cast<double>(stats_.encoded)),
              perSecond(static_cast<double>(stats_.bytes) * 8.0 / 1000.0), stats_.keyframes);
  stats_ = {};
  statsStart_ = now;
  return changed;
}

void VideoPipeline::collect(VideoPacket packet) {
  // One buffer for every target: the wire bytes are never copied per viewer.
  auto wire = std::make_shared<const corvel::Bytes>(packet.encoded());
  std::lock_guard lock(mutex_);
  if (stopped_) return;
  // From inside an encoder call, under encoderMutex_: the new rate is applied once it returns.
  if (auto bitrate = account(packet, wire->size())) pendingBitrate_ = *bitrate;
  outbox_.push_back(Encoded{std::move(packet), std::move(wire)});
}

void VideoPipeline::deliver() {
  {
    std::lock_guard lock(mutex_);
    // A thread already at it takes these too, in order.
    if (delivering_ || outbox_.empty()) return;
    delivering_ = true;
  }
  for (;;) {
    std::vector<Encoded> batch;
    std::vector<std::shared_ptr<VideoTarget>> targets;
    EncodedHandler onEncoded;
    {
      std::lock_guard lock(mutex_);
      if (outbox_.empty()) {
        delivering_ = false;
        return;
      }
      batch.swap(outbox_);
      targets = targets_;
      onEncoded = onEncoded_;
    }
    for (const auto& encoded : batch) {
      if (onEncoded) onEncoded(encoded.packet, *encoded.wire);
      fanOut(encoded, targets);
    }
  }
}

void VideoPipeline::fanOut(const Encoded& encoded,
                           const std::vector<std::shared_ptr<VideoTarget>>& targets) {
  const bool isKeyframe = encoded.packet.isKeyframe;
  const auto sentAt = clock_();
  bool askKeyframe = false;
  for (const auto& target : targets) {
    bool send = false;
    target->withVideoFlow([&](VideoFlow& flow) {
      if (!flow.isViewer) return;
      if (flow.inFlight >= flow.maxInFlight) {
        // Missed: nothing more until a keyframe. One that holds the display back has it forced
        // now; one that drops behind asks once it has room again, so that a stalled viewer does
        // not turn every frame into a keyframe for the others.
        flow.needsKeyframe = true;
        if (flow.pacing == VideoPacing::holdsBack && !flow.stalled) askKeyframe = true;
      } else if (flow.needsKeyframe && !isKeyframe) {
        askKeyframe = true;
      } else {
        flow.needsKeyframe = false;
        flow.stalled = false;
        if (flow.inFlight == 0) flow.lastProgress = sentAt;
        ++flow.inFlight;
        send = true;
      }
    });
    if (!send) continue;
    target->sendSharedVideo(encoded.wire, [weakTarget = std::weak_ptr<VideoTarget>(target),
                                           weakSelf = weak_from_this()] {
      auto t = weakTarget.lock();
      if (!t) return;
      auto self = weakSelf.lock();
      bool wantsKeyframe = false;
      t->withVideoFlow([&](VideoFlow& flow) {
        flow.inFlight = std::max(0, flow.inFlight - 1);
        if (self) flow.lastProgress = self->clock_();
        // A viewer that dropped behind has room again and waits: on a still screen no new
        // picture would bring its keyframe.
        wantsKeyframe = flow.isViewer && flow.pacing == VideoPacing::dropsBehind &&
                        flow.needsKeyframe && flow.inFlight == flow.maxInFlight - 1;
      });
      if (wantsKeyframe && self) self->refresh();
    });
  }
  if (askKeyframe) encoder_->requestKeyframe();
}

}  // namespace ambrel
