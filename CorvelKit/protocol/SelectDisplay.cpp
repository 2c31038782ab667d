#include "CorvelKit/protocol/SelectDisplay.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const SelectDisplay& value) {
  JSONObjectWriter(out)
      .field("displayID", value.displayID);
}

bool decodeJSON(const JSON& in, SelectDisplay& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("displayID", out.displayID)
      .ok();
}

}  // namespace corvel::protocol
