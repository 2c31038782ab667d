#include "CorvelKit/protocol/FileEnd.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const FileEnd& value) {
  JSONObjectWriter(out)
      .field("id", value.id)
      .field("cancelled", value.cancelled);
}

bool decodeJSON(const JSON& in, FileEnd& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("id", out.id)
      .field("cancelled", out.cancelled)
      .ok();
}

}  // namespace corvel::protocol
