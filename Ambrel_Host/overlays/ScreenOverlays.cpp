#include "Ambrel_Host/overlays/ScreenOverlays.h"

namespace ambrel {

namespace {
class NoOverlays final : public ScreenOverlays {
 public:
  void refresh(const OverlayState&) override {}
  void draw(const corvel::protocol::AnnotationEvent&, std::uint32_t) override {}
  void hideAll() override {}
  void clearAnnotations() override {}
};
}  // namespace

std::shared_ptr<ScreenOverlays> ScreenOverlays::none() { return std::make_shared<NoOverlays>(); }

}  // namespace ambrel
