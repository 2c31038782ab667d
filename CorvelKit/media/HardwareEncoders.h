#pragma once

#include <optional>
#include <string>

namespace corvel::media {

// The hardware encoders a video encoder may try before the software one. The platform side fills
// it in from the devices it finds; whether an encoder really works there is learnt by opening it.
// Left empty, encoding is software only.
struct HardwareEncoders {
  // NVIDIA's NVENC.
  bool nvenc = false;
  // VAAPI on this DRM render node ("/dev/dri/renderD128").
  std::optional<std::string> vaapiDevice;
};

}  // namespace corvel::media
