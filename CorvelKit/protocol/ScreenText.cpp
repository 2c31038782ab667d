#include "CorvelKit/protocol/ScreenText.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const ScreenText& value) {
  JSONObjectWriter(out)
      .field("lines", value.lines)
      .field("frontmostApp", value.frontmostApp);
}

bool decodeJSON(const JSON& in, ScreenText& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("lines", out.lines)
      .field("frontmostApp", out.frontmostApp)
      .ok();
}

}  // namespace corvel::protocol
