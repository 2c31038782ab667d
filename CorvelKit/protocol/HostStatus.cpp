#include "CorvelKit/protocol/HostStatus.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const HostStatus& value) {
  JSONObjectWriter(out)
      .field("model", value.model)
      .field("osVersion", value.osVersion)
      .field("uptimeSeconds", value.uptimeSeconds)
      .field("batteryPercent", value.batteryPercent)
      .field("isCharging", value.isCharging)
      .field("diskFreeBytes", value.diskFreeBytes)
      .field("diskTotalBytes", value.diskTotalBytes)
      .field("thermalState", value.thermalState)
      .field("memoryGB", value.memoryGB)
      .field("macAddress", value.macAddress);
}

bool decodeJSON(const JSON& in, HostStatus& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("model", out.model)
      .field("osVersion", out.osVersion)
      .field("uptimeSeconds", out.uptimeSeconds)
      .field("batteryPercent", out.batteryPercent)
      .field("isCharging", out.isCharging)
      .field("diskFreeBytes", out.diskFreeBytes)
      .field("diskTotalBytes", out.diskTotalBytes)
      .field("thermalState", out.thermalState)
      .field("memoryGB", out.memoryGB)
      .field("macAddress", out.macAddress)
      .ok();
}

}  // namespace corvel::protocol
