#pragma once

#include "CorvelKit/media/HardwareEncoders.h"

namespace ambrel {

// The hardware encoders this machine's devices may offer: NVENC when the NVIDIA control device
// exists, VAAPI on the first DRM render node when it exists. Nothing on a machine without a GPU.
corvel::media::HardwareEncoders presentHardwareEncoders();

}  // namespace ambrel
