#include "CorvelKit/protocol/AudioStreamFormat.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const AudioStreamFormat& value) {
  JSONObjectWriter(out)
      .field("sampleRate", value.sampleRate)
      .field("channels", value.channels)
      .field("framesPerPacket", value.framesPerPacket)
      .field("magicCookie", value.magicCookie);
}

bool decodeJSON(const JSON& in, AudioStreamFormat& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("sampleRate", out.sampleRate)
      .field("channels", out.channels)
      .field("framesPerPacket", out.framesPerPacket)
      .field("magicCookie", out.magicCookie)
      .ok();
}

}  // namespace corvel::protocol
