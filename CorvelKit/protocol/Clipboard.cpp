#include "CorvelKit/protocol/Clipboard.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const Clipboard& value) {
  JSONObjectWriter(out)
      .field("text", value.text);
}

bool decodeJSON(const JSON& in, Clipboard& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("text", out.text)
      .ok();
}

}  // namespace corvel::protocol
