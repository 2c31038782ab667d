#include "CorvelKit/protocol/DisplayInfo.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const DisplayInfo& value) {
  JSONObjectWriter(out)
      .field("id", value.id)
      .field("name", value.name)
      .field("width", value.width)
      .field("height", value.height);
}

bool decodeJSON(const JSON& in, DisplayInfo& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("id", out.id)
      .field("name", out.name)
      .field("width", out.width)
      .field("height", out.height)
      .ok();
}

}  // namespace corvel::protocol
