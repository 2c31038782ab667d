#include "CorvelKit/protocol/AnnotationStroke.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const AnnotationStroke& value) {
  JSONObjectWriter(out)
      .field("id", value.id)
      .field("points", value.points)
      .field("color", value.color)
      .field("width", value.width);
}

bool decodeJSON(const JSON& in, AnnotationStroke& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("id", out.id)
      .field("points", out.points)
      .field("color", out.color)
      .field("width", out.width)
      .ok();
}

}  // namespace corvel::protocol
