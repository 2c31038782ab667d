#include "CorvelKit/protocol/SessionPermissions.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const SessionPermissions& value) {
  JSONObjectWriter(out)
      .field("canControl", value.canControl)
      .field("isSupportSession", value.isSupportSession);
}

bool decodeJSON(const JSON& in, SessionPermissions& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("canControl", out.canControl)
      .field("isSupportSession", out.isSupportSession)
      .ok();
}

}  // namespace corvel::protocol
