#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// The state of the host machine.
struct HostStatus {
  std::string model;
  std::string osVersion;
  double uptimeSeconds = 0;
  std::optional<std::int64_t> batteryPercent;
  std::optional<bool> isCharging;
  std::optional<std::int64_t> diskFreeBytes;
  std::optional<std::int64_t> diskTotalBytes;
  // One of "nominal", "fair", "serious", "critical", "unknown".
  std::string thermalState;
  double memoryGB = 0;
  std::optional<std::string> macAddress;

  friend bool operator==(const HostStatus&, const HostStatus&) = default;
};

void encodeJSON(nlohmann::json& out, const HostStatus& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, HostStatus& out, DecodingError& error);

}  // namespace corvel::protocol
