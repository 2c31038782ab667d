#include "CorvelKit/protocol/SharerInfo.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const SharerInfo& value) {
  JSONObjectWriter(out)
      .field("orientation", value.orientation);
}

bool decodeJSON(const JSON& in, SharerInfo& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("orientation", out.orientation)
      .ok();
}

}  // namespace corvel::protocol
