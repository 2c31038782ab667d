#include "Ambrel_Host/controller/HostServices.h"

namespace ambrel {

namespace {
class NoStreams final : public VideoStreams {
 public:
  bool attach(const std::shared_ptr<RemoteClient>&) override { return false; }
  bool detach(const RemoteClient&) override { return false; }
  void requestKeyframe(std::uint32_t) override {}
  bool hasPipeline(std::uint32_t) const override { return false; }
  void stopAll() override {}
};

class NoOverlays final : public ScreenOverlays {
 public:
  void refresh() override {}
  void draw(const corvel::protocol::AnnotationEvent&, std::uint32_t) override {}
  void hideAll() override {}
};

class NoBrowser final : public BrowserAccess {
 public:
  void start(const std::string&) override {}
  void stop() override {}
};
}  // namespace

void HostServices::fillMissing() {
  if (!streams) streams = std::make_shared<NoStreams>();
  if (!overlays) overlays = std::make_shared<NoOverlays>();
  if (!browser) browser = std::make_shared<NoBrowser>();
}

}  // namespace ambrel
