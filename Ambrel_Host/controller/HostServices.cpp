#include "Ambrel_Host/controller/HostServices.h"

namespace ambrel {

void HostServices::fillMissing() {
  if (!streams) streams = VideoStreams::none();
  if (!overlays) overlays = ScreenOverlays::none();
  if (!browser) browser = BrowserAccess::none();
}

}  // namespace ambrel
