#include "Ambrel_Host/browser/BrowserVideo.h"

#include <algorithm>
#include <utility>

#include "Ambrel_Host/browser/BrowserClient.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("browser"); }
}  // namespace

std::shared_ptr<BrowserVideo> BrowserVideo::create(Parts parts) {
  return std::shared_ptr<BrowserVideo>(new BrowserVideo(std::move(parts)));
}

BrowserVideo::BrowserVideo(Parts parts)
    : parts_(std::move(parts)),
      streams_(std::make_shared<DisplayStreams>(queue_.executor(), parts_.video, maxWidth, bitrate,
                                                frameRate)) {}

// The streams stop their pipelines as they go.
BrowserVideo::~BrowserVideo() = default;

void BrowserVideo::attach(std::shared_ptr<BrowserClient> viewer) {
  queue_.post([weak = weak_from_this(), viewer = std::move(viewer)] {
    if (auto self = weak.lock()) self->attachNow(viewer);
  });
}

void BrowserVideo::detach(std::shared_ptr<BrowserClient> viewer) {
  queue_.post([weak = weak_from_this(), viewer = std::move(viewer)] {
    if (auto self = weak.lock()) self->detachNow(viewer);
  });
}

void BrowserVideo::stop() {
  queue_.post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopNow();
  });
}

std::shared_ptr<VideoPipeline> BrowserVideo::pipeline() const {
  return streams_->pipeline(displayID_.load());
}

void BrowserVideo::attachNow(const std::shared_ptr<BrowserClient>& viewer) {
  std::erase_if(viewers_, [](const std::weak_ptr<BrowserClient>& v) { return v.expired(); });
  viewers_.push_back(viewer);
  if (streams_->hasPipeline(displayID_.load())) {
    viewer->watch(displayID_.load());
  } else {
    // Capture starts now, for every viewer there is, on the display chosen now.
    std::optional<std::uint32_t> display;
    if (chooseDisplay()) display = displayID_.load();
    for (auto& weak : viewers_) {
      if (auto v = weak.lock()) v->watch(display);
    }
  }
  // Starts the pipeline or joins the running one, at a keyframe of the current picture.
  streams_->attach(viewer);
}

void BrowserVideo::detachNow(const std::shared_ptr<BrowserClient>& viewer) {
  std::erase_if(viewers_, [&](const std::weak_ptr<BrowserClient>& v) {
    auto live = v.lock();
    return !live || live == viewer;
  });
  // The last viewer's leaving stops capture.
  streams_->detach(*viewer);
}

void BrowserVideo::stopNow() {
  std::vector<std::weak_ptr<BrowserClient>> viewers;
  viewers.swap(viewers_);
  for (auto& weak : viewers) {
    if (auto v = weak.lock()) streams_->detach(*v);
  }
  streams_->stopAll();
}

bool BrowserVideo::chooseDisplay() {
  if (!parts_.displays || !parts_.video.capturer || !parts_.video.encoder) return false;
  auto displays = parts_.displays();
  if (!displays) {
    log().error("browser capture failed: {}", displays.error().message());
    return false;
  }
  if (displays->empty()) return false;
  auto chosen = std::find_if(displays->begin(), displays->end(), [](const auto& d) { return d.isMain; });
  const ScreenDisplay display = chosen != displays->end() ? *chosen : displays->front();
  displayID_ = display.id;
  if (parts_.onDisplay) parts_.onDisplay(display);
  return true;
}

}  // namespace ambrel
