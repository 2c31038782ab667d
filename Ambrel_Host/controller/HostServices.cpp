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

class NoInput final : public InputSink {
 public:
  void handle(const corvel::protocol::InputEvent&, std::uint32_t) override {}
  void releaseAll() override {}
  bool isTrusted() const override { return false; }
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
class NoHistory final : public SessionLog {
 public:
  void opened(const RemoteClient&) override {}
  void closed(const RemoteClient&, const std::string&) override {}
  void declined(const RemoteClient&) override {}
  void wrongCode(const std::string&) override {}
};

class NoSystem final : public SystemCommands {
 public:
  corvel::protocol::HostStatus makeStatus() override {
    corvel::protocol::HostStatus s;
    s.model = "Linux";
    s.osVersion = "Linux";
    s.thermalState = "unknown";
    return s;
  }
  void lockScreen() override {}
  void sleepDisplay() override {}
  void restart() override {}
  void run(const corvel::protocol::MacCommand&, std::function<void(std::string)> done) override {
    done("That isn't available on this computer.");
  }
};
}  // namespace

void HostServices::fillMissing() {
  if (!history) history = std::make_shared<NoHistory>();
  if (!system) system = std::make_shared<NoSystem>();
  if (!streams) streams = std::make_shared<NoStreams>();
  if (!input) input = std::make_shared<NoInput>();
  if (!overlays) overlays = std::make_shared<NoOverlays>();
  if (!browser) browser = std::make_shared<NoBrowser>();
}

}  // namespace ambrel
