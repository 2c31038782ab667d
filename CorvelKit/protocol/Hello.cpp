#include "CorvelKit/protocol/Hello.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const Hello& value) {
  JSONObjectWriter(out)
      .field("deviceName", value.deviceName)
      .field("platform", value.platform)
      .field("protocolVersion", value.protocolVersion)
      .field("deviceID", value.deviceID)
      .field("role", value.role)
      .field("supportsHEVC", value.supportsHEVC)
      .field("supportsHDR", value.supportsHDR)
      .field("iCloudToken", value.iCloudToken)
      .field("preferredDisplayID", value.preferredDisplayID);
}

bool decodeJSON(const JSON& in, Hello& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("deviceName", out.deviceName)
      .field("platform", out.platform)
      .field("protocolVersion", out.protocolVersion)
      .field("deviceID", out.deviceID)
      .field("role", out.role)
      .field("supportsHEVC", out.supportsHEVC)
      .field("supportsHDR", out.supportsHDR)
      .field("iCloudToken", out.iCloudToken)
      .field("preferredDisplayID", out.preferredDisplayID)
      .ok();
}

}  // namespace corvel::protocol
