#include "Ambrel_Host/capture/VideoPipeline.h"

#include <algorithm>
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
    if (auto self = weak.lock()) self->handlePacket(packet);
  });
}

void VideoPipeline::setOnStop(StopHandler handler) {
  std::lock_guard lock(mutex_);
  onStop_ = std::move(handler);
}

void VideoPipeline::setOnEncoded(EncodedHandler handler) {
  std::lock_guard lock(mutex_);
  onEncoded_ = std::move(handler);
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
  capturer_->stop();
  {
    std::lock_guard lock(encoderMutex_);
    encoder_->invalidate();
    encoder_->setOnPacket(nullptr);
    encoderStopped_ = true;
  }
  {
    std::lock_guard lock(mutex_);
    lastFrame_.reset();
    targets_.clear();
    onEncoded_ = nullptr;
    onStop_ = nullptr;
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
  std::lock_guard lock(encoderMutex_);
  pendingBitrate_.reset();
  if (!encoderStopped_) encoder_->configure(static_cast<int>(bitrate), fps, std::nullopt, std::nullopt);
}

void VideoPipeline::setCodec(VideoCodec codec, std::int64_t bitrate, bool hdr) {
  int fps = 0;
  {
    std::lock_guard encoderLock(encoderMutex_);
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(self->encoderMutex_);
    if (self->encoderStopped_) return;
    self->encoder_->requestKeyframe();
    self->encodeLocked(frame->view(), frame->capturedAt);
  });
}

void VideoPipeline::requestKeyframe() { encoder_->requestKeyframe(); }

void VideoPipeline::setTargets(std::vector<std::shared_ptr<VideoTarget>> targets) {
  std::lock_guard lock(mutex_);
  if (!stopped_) targets_ = std::move(targets);
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
  for (auto& target : targets) {
    target->withVideoFlow([&](VideoFlow& flow) {
      if (flow.isViewer && flow.inFlight >= maxInFlight) congested = true;
    });
    if (congested) break;
  }
  if (congested) {
    std::lock_guard lock(mutex_);
    ++stats_.skipped;
    return;
  }
  std::lock_guard lock(encoderMutex_);
  if (encoderStopped_) return;
  encodeLocked(frame, capturedAt);
}

void VideoPipeline::encodeLocked(const VideoFrame& frame,
                                 std::chrono::steady_clock::time_point capturedAt) {
  // A refresh re-encodes a frame already sent: its time moves on so times keep increasing.
  auto pts = std::chrono::duration_cast<std::chrono::microseconds>(capturedAt.time_since_epoch());
  pts = std::max(pts, lastPts_ + std::chrono::microseconds(1));
  lastPts_ = pts;
  encoder_->encode(frame, pts);
  // An adaptation decided while encoding: applied here, outside the encoder's own call.
  if (auto bitrate = std::exchange(pendingBitrate_, std::nullopt)) {
    encoder_->setBitrate(static_cast<int>(*bitrate));
  }
}

std::optional<std::int64_t> VideoPipeline::account(const VideoPacket& packet, std::size_t size) {
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

void VideoPipeline::handlePacket(const VideoPacket& packet) {
  const corvel::Bytes wire = packet.encoded();
  EncodedHandler onEncoded;
  {
    std::lock_guard lock(mutex_);
    onEncoded = onEncoded_;
  }
  if (onEncoded) onEncoded(packet, wire);

  std::vector<std::shared_ptr<VideoTarget>> targets;
  {
    std::lock_guard lock(mutex_);
    // Called from inside encode(), under encoderMutex_: the new rate is applied once it returns.
    if (auto bitrate = account(packet, wire.size())) pendingBitrate_ = *bitrate;
    targets = targets_;
  }

  bool dropped = false;
  for (auto& target : targets) {
    bool send = false;
    target->withVideoFlow([&](VideoFlow& flow) {
      if (!flow.isViewer) return;
      if (!flow.needsKeyframe || packet.isKeyframe) {
        if (flow.inFlight < maxInFlight) {
          flow.needsKeyframe = false;
          ++flow.inFlight;
          send = true;
        } else {
          flow.needsKeyframe = true;
          dropped = true;
        }
      } else {
        dropped = true;
      }
    });
    if (!send) continue;
    std::weak_ptr<VideoTarget> weakTarget = target;
    target->sendVideo(wire, [weakTarget] {
      if (auto t = weakTarget.lock()) {
        t->withVideoFlow([](VideoFlow& flow) { flow.inFlight = std::max(0, flow.inFlight - 1); });
      }
    });
  }
  if (dropped) encoder_->requestKeyframe();
}

}  // namespace ambrel
