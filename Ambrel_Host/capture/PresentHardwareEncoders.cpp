#include "Ambrel_Host/capture/PresentHardwareEncoders.h"

#include <filesystem>
#include <system_error>

namespace ambrel {

namespace {
constexpr const char* kNvidiaControl = "/dev/nvidiactl";
constexpr const char* kRenderNode = "/dev/dri/renderD128";
}  // namespace

corvel::media::HardwareEncoders presentHardwareEncoders() {
  corvel::media::HardwareEncoders found;
  std::error_code ec;
  found.nvenc = std::filesystem::exists(kNvidiaControl, ec);
  if (std::filesystem::exists(kRenderNode, ec)) found.vaapiDevice = kRenderNode;
  return found;
}

}  // namespace ambrel
