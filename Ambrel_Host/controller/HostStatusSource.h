#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Ambrel_Host/controller/SlowDiskCache.h"
#include "CorvelKit/protocol/HostStatus.h"

namespace ambrel {

// Builds the status the host sends to its clients from the kernel's files: DMI for the model,
// os-release and the kernel release for the system, /proc for uptime and memory, power_supply
// for the battery, thermal zones for the temperature state, and the disk cache for "/".
//
// `root` is where the file system starts ("/" on the machine; tests point it at a fake tree).
// makeHostStatus() may block on the disk read: call it off the controller's executor.
class HostStatusSource {
 public:
  using MACAddressSource = std::function<std::optional<std::string>()>;

  // Temperature thresholds, in degrees Celsius, for the hottest thermal zone: below 70 nominal,
  // below 85 fair, below 95 serious, from 95 critical. Laptop processors throttle in the high 90s
  // and most desktop parts run below 70 in ordinary use.
  static constexpr std::int64_t fairMilliCelsius = 70'000;
  static constexpr std::int64_t seriousMilliCelsius = 85'000;
  static constexpr std::int64_t criticalMilliCelsius = 95'000;

  explicit HostStatusSource(SlowDiskCache& disk, std::filesystem::path root = "/",
                            MACAddressSource macAddress = defaultMACAddress);

  [[nodiscard]] corvel::protocol::HostStatus makeHostStatus() const;

  // The parts, each from the files under the root.
  std::string model() const;
  std::string osVersion() const;
  double uptimeSeconds() const;
  struct Battery {
    std::int64_t percent = 0;
    bool isCharging = false;
  };
  std::optional<Battery> battery() const;
  std::string thermalState() const;
  double memoryGB() const;

  static std::string_view thermalStateFor(std::int64_t milliCelsius);

 private:
  static std::optional<std::string> defaultMACAddress();
  bool isLiveSystem() const { return root_ == "/"; }

  SlowDiskCache& disk_;
  std::filesystem::path root_;
  MACAddressSource macAddress_;
};

}  // namespace ambrel
