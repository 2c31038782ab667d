#include "CorvelKit/protocol/AnnotationEvent.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const AnnotationEvent& value) {
  out = JSON::object();
  JSONObjectWriter body(out[value.caseName()]);
  if (auto* c = std::get_if<AnnotationEvent::Stroke>(&value)) body.field("_0", c->stroke);
}

bool decodeJSON(const JSON& in, AnnotationEvent& out, DecodingError& error) {
  static_assert(std::variant_size_v<AnnotationEvent::variant> == AnnotationEvent::caseNames.size());
  std::size_t index = 0;
  const JSON* body = nullptr;
  if (!decodeOneKeyObject(in, AnnotationEvent::caseNames, index, body, error)) return false;
  if (index == 1) {
    out.emplace<AnnotationEvent::Clear>();  // any keys inside are ignored
    return true;
  }
  if (!JSONObjectReader(*body, error).field("_0", out.emplace<AnnotationEvent::Stroke>().stroke).ok()) {
    error.prependPath(AnnotationEvent::caseNames[index]);
    return false;
  }
  return true;
}

}  // namespace corvel::protocol
