#include "CorvelKit/protocol/Bye.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const Bye& value) {
  JSONObjectWriter(out)
      .field("reason", value.reason);
}

bool decodeJSON(const JSON& in, Bye& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("reason", out.reason)
      .ok();
}

}  // namespace corvel::protocol
