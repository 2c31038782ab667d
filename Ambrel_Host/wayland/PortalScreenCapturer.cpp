#include "Ambrel_Host/wayland/PortalScreenCapturer.h"

#include <algorithm>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/wayland/PortalSession.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

// The session stays the portal's: capture only watches for its end.
struct PortalCast final : PipeWireScreenCapturer::Cast {
  std::shared_ptr<PortalSession> session;

  explicit PortalCast(std::shared_ptr<PortalSession> s) : session(std::move(s)) {}
  std::error_code check() override { return session->isClosed() ? CaptureErrc::connectionLost : std::error_code{}; }
};

}  // namespace

PortalScreenCapturer::PortalScreenCapturer(std::shared_ptr<PortalSession> session) : session_(std::move(session)) {}

std::error_code PortalScreenCapturer::start(std::uint32_t displayID, int maxWidth, int fps) {
  prepare(maxWidth, fps);
  if (!session_) return CaptureErrc::noDisplayServer;
  if (session_->isClosed()) return CaptureErrc::connectionLost;
  const auto& streams = session_->streams();
  const auto stream = std::find_if(streams.begin(), streams.end(),
                                   [&](const PortalSession::Stream& s) { return s.display.id == displayID; });
  if (stream == streams.end()) return CaptureErrc::displayNotFound;
  const int remote = session_->openPipeWireRemote();
  if (remote < 0) return CaptureErrc::screenCastRefused;
  if (const auto failed = startStream(std::make_unique<PortalCast>(session_), stream->node, remote)) return failed;
  log().info("capturing display {} ({}x{}) through the desktop portal's PipeWire node {}, at most {} wide, {} fps",
             displayID, stream->display.width, stream->display.height, stream->node, maxWidth, fps);
  return {};
}

}  // namespace ambrel
