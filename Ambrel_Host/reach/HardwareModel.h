#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ambrel {

// The computer's model for the presence record: what the firmware calls the product (DMI's
// product name on PCs, the device tree's model on boards), else "Linux" and the machine's
// architecture.
struct HardwareModel {
  static std::string current();
  // The firmware's name under `root` ("/" on a running system); nothing when it gives none, or only
  // a placeholder that board makers leave unfilled.
  static std::optional<std::string> fromFirmware(const std::filesystem::path& root);
};

}  // namespace ambrel
