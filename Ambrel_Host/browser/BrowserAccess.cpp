#include "Ambrel_Host/browser/BrowserAccess.h"

namespace ambrel {

namespace {
class NoBrowser final : public BrowserAccess {
 public:
  void start(const std::string&) override {}
  void stop() override {}
};
}  // namespace

std::shared_ptr<BrowserAccess> BrowserAccess::none() { return std::make_shared<NoBrowser>(); }

}  // namespace ambrel
