#include "CorvelKit/protocol/ChatMessage.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const ChatMessage& value) {
  JSONObjectWriter(out)
      .field("id", value.id)
      .field("text", value.text)
      .field("sender", value.sender)
      .field("sentAt", value.sentAt);
}

bool decodeJSON(const JSON& in, ChatMessage& out, DecodingError& error) {
  return JSONObjectReader(in, error)
      .field("id", out.id)
      .field("text", out.text)
      .field("sender", out.sender)
      .field("sentAt", out.sentAt)
      .ok();
}

}  // namespace corvel::protocol
