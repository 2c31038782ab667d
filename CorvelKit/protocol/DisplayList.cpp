#include "CorvelKit/protocol/DisplayList.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const DisplayList& value) {
  JSONObjectWriter(out)
      .field("displays", value.displays)
      .field("activeDisplayID", value.activeDisplayID);
}

bool decodeJSON(const JSON& in, DisplayList& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("displays", out.displays)
      .field("activeDisplayID", out.activeDisplayID)
      .ok();
}

}  // namespace corvel::protocol
