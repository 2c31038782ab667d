#include "CorvelKit/protocol/FileOffer.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const FileOffer& value) {
  JSONObjectWriter(out)
      .field("id", value.id)
      .field("name", value.name)
      .field("size", value.size)
      .field("purpose", value.purpose);
}

bool decodeJSON(const JSON& in, FileOffer& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("id", out.id)
      .field("name", out.name)
      .field("size", out.size)
      .field("purpose", out.purpose)
      .ok();
}

}  // namespace corvel::protocol
