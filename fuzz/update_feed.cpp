// The update feed comes from the network: any bytes must decode to a release or be refused, and a
// decoded release must hold what the checker relies on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Ambrel_Host/shell/UpdateRelease.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto release = ambrel::UpdateRelease::decode(text);
  if (release) {
    (void)release->isDirectDownload();
    (void)ambrel::UpdateRelease::isWebAddress(release->url);
  } else if (release.error().empty()) {
    std::abort();
  }
  (void)ambrel::UpdateRelease::installedBuild(text);
  return 0;
}
