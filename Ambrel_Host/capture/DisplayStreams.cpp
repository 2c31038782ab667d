#include "Ambrel_Host/capture/DisplayStreams.h"

#include <algorithm>
#include <utility>

#include <boost/asio/post.hpp>

#include "Ambrel_Host/capture/PresentHardwareEncoders.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("video"); }
}  // namespace

using corvel::media::VideoCodec;

DisplayStreams::Parts DisplayStreams::x11Parts(std::string displayName) {
  return parts([displayName = std::move(displayName)] { return ScreenCapturer::create(displayName); });
}

DisplayStreams::Parts DisplayStreams::parts(std::function<std::unique_ptr<ScreenCapturer>()> capturer) {
  const auto hardware = presentHardwareEncoders();
  return Parts{
      std::move(capturer),
      [hardware](int bitrate, int fps) { return corvel::media::VideoEncoder::make(bitrate, fps, hardware); },
      hardware.nvenc || hardware.vaapiDevice.has_value(),
      // No sound unless the owner asks for it: the browser's streams, say, carry none.
      nullptr};
}

DisplayStreams::DisplayStreams(corvel::Executor executor, Parts parts, int maxWidth,
                               std::int64_t bitrate, int fps)
    : executor_(std::move(executor)),
      parts_(std::move(parts)),
      maxWidth_(maxWidth),
      bitrate_(bitrate),
      fps_(fps) {}

DisplayStreams::~DisplayStreams() { stopAll(); }

std::vector<std::shared_ptr<StreamViewer>> DisplayStreams::liveViewers() {
  std::vector<std::shared_ptr<StreamViewer>> live;
  std::erase_if(viewers_, [&](const std::weak_ptr<StreamViewer>& weak) {
    auto viewer = weak.lock();
    if (!viewer) return true;
    live.push_back(std::move(viewer));
    return false;
  });
  return live;
}

bool DisplayStreams::attach(const std::shared_ptr<StreamViewer>& viewer) {
  const bool known = std::any_of(viewers_.begin(), viewers_.end(), [&](const auto& weak) {
    return weak.lock() == viewer;
  });
  if (!known) viewers_.push_back(viewer);
  const bool streaming = update();
  // Joined or switched: a keyframe of the current picture, even on a static screen.
  refresh(viewer->describe().displayID);
  return streaming;
}

bool DisplayStreams::detach(const StreamViewer& viewer) {
  std::erase_if(viewers_, [&](const std::weak_ptr<StreamViewer>& weak) {
    auto v = weak.lock();
    return !v || v.get() == &viewer;
  });
  return update();
}

bool DisplayStreams::update() {
  // One snapshot of each viewer, so that a display switch meanwhile can't split the decision.
  std::vector<std::pair<std::shared_ptr<StreamViewer>, StreamViewer::Description>> viewers;
  for (auto& v : liveViewers()) viewers.emplace_back(v, v->describe());
  std::set<std::uint32_t> wanted;
  std::vector<std::optional<bool>> hevcSupport;
  bool allHDR = true;
  for (auto& [viewer, description] : viewers) {
    if (!description.watching) continue;
    wanted.insert(description.displayID);
    hevcSupport.push_back(description.supportsHEVC);
    allHDR = allHDR && description.supportsHDR;
  }
  // Pipelines no longer watched.
  std::vector<std::shared_ptr<VideoPipeline>> unwanted;
  {
    std::lock_guard lock(mutex_);
    for (auto it = pipelines_.begin(); it != pipelines_.end();) {
      if (wanted.count(it->first)) {
        ++it;
      } else {
        unwanted.push_back(std::move(it->second));
        it = pipelines_.erase(it);
      }
    }
  }
  for (auto& p : unwanted) p->stop();

  // The codec of the remaining viewers, applied to the pipelines that stay.
  const VideoCodec codec =
      corvel::media::negotiatedVideoCodec(preferHEVC_ && parts_.hevcEncoder, hevcSupport);
  // No screen here reports an extended dynamic range, so HDR stays off whatever is asked.
  const bool screensHDR = false;
  const bool hdr = preferHDR_ && codec == VideoCodec::hevc && screensHDR && allHDR;
  if (codec != codec_ || hdr != hdr_) setCodec(codec, hdr);

  auto targetsOf = [&](std::uint32_t display) {
    std::vector<std::shared_ptr<VideoTarget>> targets;
    for (auto& [viewer, description] : viewers) {
      if (description.displayID == display) targets.push_back(viewer);
    }
    return targets;
  };

  // Sound first: a viewer that joins gets the sound's format ahead of its first picture, so that
  // a recording of it has both from the start.
  {
    std::vector<std::shared_ptr<StreamViewer>> watching;
    for (auto& [viewer, description] : viewers) {
      if (description.watching) watching.push_back(viewer);
    }
    updateSound(watching, !wanted.empty());
  }

  for (std::uint32_t display : wanted) {
    if (hasPipeline(display)) continue;
    auto pipeline = VideoPipeline::create(parts_.capturer(),
                                          parts_.encoder(static_cast<int>(bitrate_), fps_), bitrate_);
    std::weak_ptr<DisplayStreams> weakSelf = weak_from_this();
    std::weak_ptr<VideoPipeline> weakPipeline = pipeline;
    auto executor = executor_;
    pipeline->setOnStop([weakSelf, weakPipeline, executor, display](std::error_code error) {
      boost::asio::post(executor, [weakSelf, weakPipeline, display, error] {
        auto self = weakSelf.lock();
        auto p = weakPipeline.lock();
        if (self && p) self->captureStopped(display, p, error);
      });
    });
    pipeline->setBitrate(bitrate_, fps_);
    pipeline->setCodec(codec_, bitrate_, hdr_);
    // Before the first frame, which comes at once and may be the only one on a still screen.
    pipeline->setTargets(targetsOf(display));
    if (auto error = pipeline->start(display, maxWidth_, fps_, hdr_)) {
      log().error("couldn't capture display {}: {}", display, error.message());
      pipeline->stop();
      report(error);
      break;
    }
    pipeline->requestKeyframe();
    std::lock_guard lock(mutex_);
    pipelines_[display] = std::move(pipeline);
  }

  std::map<std::uint32_t, std::shared_ptr<VideoPipeline>> running;
  {
    std::lock_guard lock(mutex_);
    running = pipelines_;
  }
  for (auto& [display, pipeline] : running) pipeline->setTargets(targetsOf(display));

  std::vector<std::shared_ptr<StreamViewer>> watching;
  for (auto& [viewer, description] : viewers) {
    if (description.watching && running.count(description.displayID)) watching.push_back(viewer);
  }
  updateSound(watching, !running.empty());
  return !running.empty();
}

void DisplayStreams::updateSound(const std::vector<std::shared_ptr<StreamViewer>>& watching,
                                 bool streaming) {
  const bool wanted = shareSound_ && streaming && parts_.sound;
  if (!wanted) {
    stopSound();
    return;
  }
  auto sound = soundStream();
  if (!sound) {
    std::string problem;
    auto encoder = corvel::media::AudioEncoder::create(soundSampleRate, soundChannels, soundBitrate);
    std::unique_ptr<SoundSource> source = encoder ? parts_.sound() : nullptr;
    if (!encoder) {
      problem = corvel::media::AudioEncoder::available()
                    ? "Sound: off (the AAC-ELD encoder could not be set up)"
                    : "Sound: off (this build has no AAC-ELD encoder)";
    } else if (!source) {
      problem = "Sound: off (this build has no sound capture)";
    } else {
      sound = SoundStream::create(std::move(source), std::move(encoder));
      sound->start();
    }
    bool firstTime = false;
    {
      std::lock_guard lock(mutex_);
      sound_ = sound;
      firstTime = !problem.empty() && problem != soundProblem_;
      soundProblem_ = problem;
    }
    if (firstTime) log().warn("{}: streaming goes on without it", problem);
  }
  if (!sound) return;
  std::vector<std::shared_ptr<SoundTarget>> targets;
  for (const auto& viewer : watching) {
    if (auto target = std::dynamic_pointer_cast<SoundTarget>(viewer)) targets.push_back(std::move(target));
  }
  sound->setTargets(std::move(targets));
}

void DisplayStreams::stopSound() {
  std::shared_ptr<SoundStream> sound;
  {
    std::lock_guard lock(mutex_);
    sound.swap(sound_);
  }
  if (sound) sound->stop();
}

void DisplayStreams::setShareSound(bool on) {
  {
    std::lock_guard lock(mutex_);
    if (shareSound_ == on) return;
    shareSound_ = on;
  }
  if (!on) stopSound();
  // On: a new sound path for the viewers there are.
  update();
}

std::string DisplayStreams::soundStatus() const {
  if (!parts_.sound) return {};
  auto sound = soundStream();
  if (sound) return sound->status();
  std::lock_guard lock(mutex_);
  if (!shareSound_) return "Sound: off (shareSound is false)";
  if (!soundProblem_.empty()) return soundProblem_;
  return "Sound: starts with the first viewer";
}

std::optional<corvel::protocol::AudioStreamFormat> DisplayStreams::audioFormat() const {
  auto sound = soundStream();
  if (!sound) return std::nullopt;
  return sound->format();
}

std::shared_ptr<SoundStream> DisplayStreams::soundStream() const {
  std::lock_guard lock(mutex_);
  return sound_;
}

void DisplayStreams::captureStopped(std::uint32_t displayID,
                                    const std::shared_ptr<VideoPipeline>& pipeline,
                                    std::error_code error) {
  {
    std::lock_guard lock(mutex_);
    auto it = pipelines_.find(displayID);
    if (it == pipelines_.end() || it->second != pipeline) return;
    pipelines_.erase(it);
  }
  log().warn("capture of display {} stopped: {}", displayID, error.message());
  pipeline->stop();
  if (!hasAnyPipeline()) stopSound();
  report(error);
}

void DisplayStreams::report(std::error_code error) {
  if (!onStop_) return;
  bool streaming = false;
  {
    std::lock_guard lock(mutex_);
    streaming = !pipelines_.empty();
  }
  // Posted: the controller may be in the middle of the call that led here.
  boost::asio::post(executor_, [handler = onStop_, error, streaming] { handler(error, streaming); });
}

void DisplayStreams::requestKeyframe(std::uint32_t displayID) {
  if (auto p = pipeline(displayID)) p->requestKeyframe();
}

void DisplayStreams::refresh(std::uint32_t displayID) {
  if (auto p = pipeline(displayID)) p->refresh();
}

bool DisplayStreams::hasAnyPipeline() const {
  std::lock_guard lock(mutex_);
  return !pipelines_.empty();
}

bool DisplayStreams::hasPipeline(std::uint32_t displayID) const {
  return pipeline(displayID) != nullptr;
}

std::shared_ptr<VideoPipeline> DisplayStreams::pipeline(std::uint32_t displayID) const {
  std::lock_guard lock(mutex_);
  auto it = pipelines_.find(displayID);
  return it == pipelines_.end() ? nullptr : it->second;
}

std::shared_ptr<const CapturedFrame> DisplayStreams::lastFrame(std::uint32_t displayID) const {
  auto p = pipeline(displayID);
  return p ? p->lastFrame() : nullptr;
}

// A copy, so that no pipeline waits on its encoder while the map is locked.
std::vector<std::shared_ptr<VideoPipeline>> DisplayStreams::running() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<VideoPipeline>> out;
  for (auto& [display, p] : pipelines_) out.push_back(p);
  return out;
}

void DisplayStreams::stopAll() {
  std::map<std::uint32_t, std::shared_ptr<VideoPipeline>> stopping;
  {
    std::lock_guard lock(mutex_);
    stopping.swap(pipelines_);
  }
  for (auto& [display, p] : stopping) p->stop();
  stopSound();
}

void DisplayStreams::setStopHandler(StopHandler handler) { onStop_ = std::move(handler); }

void DisplayStreams::setPreset(int maxWidth, std::int64_t bitrate, int fps) {
  maxWidth_ = maxWidth;
  if (bitrate != bitrate_ || fps != fps_) setBitrate(bitrate, fps);
}

void DisplayStreams::setBitrate(std::int64_t bitrate, int fps) {
  bitrate_ = bitrate;
  fps_ = fps;
  for (auto& p : running()) p->setBitrate(bitrate, fps);
}

void DisplayStreams::setCodecPreferences(bool preferHEVC, bool preferHDR) {
  if (preferHEVC == preferHEVC_ && preferHDR == preferHDR_) return;
  preferHEVC_ = preferHEVC;
  preferHDR_ = preferHDR;
  update();
}

void DisplayStreams::setCodec(VideoCodec codec, bool hdr) {
  codec_ = codec;
  hdr_ = hdr;
  for (auto& p : running()) p->setCodec(codec, bitrate_, hdr);
}

}  // namespace ambrel
