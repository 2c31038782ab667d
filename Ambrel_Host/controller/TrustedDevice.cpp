#include "Ambrel_Host/controller/TrustedDevice.h"

#include "CorvelKit/base/JSONCoding.h"

namespace ambrel {

void encodeJSON(corvel::JSON& out, const TrustedDevice& value) {
  corvel::JSONObjectWriter(out)
      .field("id", value.id)
      .field("name", value.name)
      .field("platform", value.platform);
}

bool decodeJSON(const corvel::JSON& in, TrustedDevice& out, corvel::DecodingError& error) {
  return corvel::JSONObjectReader(in, error)
      .field("id", out.id)
      .field("name", out.name)
      .field("platform", out.platform)
      .ok();
}

}  // namespace ambrel
