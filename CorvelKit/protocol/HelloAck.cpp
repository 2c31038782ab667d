#include "CorvelKit/protocol/HelloAck.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const HelloAck& value) {
  JSONObjectWriter(out)
      .field("hostName", value.hostName)
      .field("displays", value.displays)
      .field("activeDisplayID", value.activeDisplayID);
}

bool decodeJSON(const JSON& in, HelloAck& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("hostName", out.hostName)
      .field("displays", out.displays)
      .field("activeDisplayID", out.activeDisplayID)
      .ok();
}

}  // namespace corvel::protocol
