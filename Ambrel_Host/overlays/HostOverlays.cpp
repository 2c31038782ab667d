#include "Ambrel_Host/overlays/HostOverlays.h"

#include <boost/asio/post.hpp>

#include "Ambrel_Host/overlays/CurtainGuard.h"
#include "Ambrel_Host/overlays/CurtainShortcut.h"
#include "Ambrel_Host/overlays/GammaCurtain.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("overlays"); }
}  // namespace

HostOverlays::HostOverlays(Options options)
    : options_(std::move(options)),
      curtain_(std::make_unique<GammaCurtain>(options_.stateFile, options_.displayName)) {}

HostOverlays::~HostOverlays() { setCurtain(false); }

void HostOverlays::setWindows(std::shared_ptr<OverlayWindows> windows) {
  windows_ = std::move(windows);
  // Show them what is up already.
  auto state = shown_;
  shown_ = {};
  refresh(state);
  showAnnotations();
}

bool HostOverlays::curtainIsOn() const { return curtain_->isOn(); }

void HostOverlays::refresh(const OverlayState& state) {
  setCurtain(state.curtain);
  const bool controlChanged = state.showControl != shown_.showControl || state.displayID != shown_.displayID ||
                              state.names != shown_.names || state.isSupport != shown_.isSupport;
  shown_ = state;
  if (!windows_ || !controlChanged) return;
  std::optional<DisplayBounds> bounds;
  if (state.showControl && options_.boundsOf) bounds = options_.boundsOf(state.displayID);
  if (bounds) {
    windows_->showControl(*bounds, OverlayState::pillText(state.names, state.isSupport), state.isSupport);
  } else {
    windows_->hideControl();
  }
}

void HostOverlays::draw(const corvel::protocol::AnnotationEvent& event, std::uint32_t displayID) {
  if (const auto* stroke = std::get_if<corvel::protocol::AnnotationEvent::Stroke>(&event)) {
    strokes_.push_back(stroke->stroke);
  } else {
    strokes_.clear();
  }
  annotatedDisplay_ = displayID;
  showAnnotations();
}

void HostOverlays::showAnnotations() {
  if (!windows_) return;
  std::optional<DisplayBounds> bounds;
  if (!strokes_.empty() && options_.boundsOf) bounds = options_.boundsOf(annotatedDisplay_);
  if (bounds) {
    windows_->showAnnotations(*bounds, strokes_);
  } else {
    windows_->hideAnnotations();
  }
}

void HostOverlays::hideAll() {
  setCurtain(false);
  shown_ = {};
  strokes_.clear();
  if (windows_) {
    windows_->hideControl();
    windows_->hideAnnotations();
  }
}

void HostOverlays::clearAnnotations() {
  strokes_.clear();
  showAnnotations();
}

void HostOverlays::setCurtain(bool on) {
  if (on == curtain_->isOn()) return;
  if (!on) {
    shortcut_.reset();
    curtain_->off();
    guard_.reset();  // finds nothing left to restore, and ends
    return;
  }
  // The guard first: from the moment the ramps change, someone is there to put them back.
  if (!options_.guardProgram.empty()) {
    guard_ = std::make_unique<CurtainGuard>(options_.guardProgram, options_.stateFile);
  }
  if (auto ec = curtain_->on()) {
    log().warn("no curtain on this display ({})", ec.message());
    guard_.reset();
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  shortcut_ = CurtainShortcut::create(options_.executor, options_.displayName, [this, alive] {
    log().info("the curtain shortcut was pressed at the computer");
    // Stopping takes the curtain and with it the shortcut away: not from inside its own call.
    boost::asio::post(options_.executor, [this, alive] {
      if (!alive.expired() && options_.stop) options_.stop();
    });
  });
}

}  // namespace ambrel
