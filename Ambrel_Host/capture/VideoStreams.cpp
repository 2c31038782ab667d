#include "Ambrel_Host/capture/VideoStreams.h"

namespace ambrel {

namespace {
class NoStreams final : public VideoStreams {
 public:
  bool attach(const std::shared_ptr<StreamViewer>&) override { return false; }
  bool detach(const StreamViewer&) override { return false; }
  bool update() override { return false; }
  void requestKeyframe(std::uint32_t) override {}
  bool hasPipeline(std::uint32_t) const override { return false; }
  void stopAll() override {}
};
}  // namespace

std::shared_ptr<VideoStreams> VideoStreams::none() { return std::make_shared<NoStreams>(); }

}  // namespace ambrel
