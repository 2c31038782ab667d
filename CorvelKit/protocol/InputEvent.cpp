#include "CorvelKit/protocol/InputEvent.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

namespace input_event {
namespace {

void encodeCase(JSON& out, const MouseMove& v) { JSONObjectWriter(out).field("x", v.x).field("y", v.y); }
void encodeCase(JSON& out, const MouseButtonChange& v) {
  JSONObjectWriter(out).field("button", v.button).field("down", v.down).field("x", v.x).field("y", v.y);
}
void encodeCase(JSON& out, const Scroll& v) { JSONObjectWriter(out).field("dx", v.dx).field("dy", v.dy); }
void encodeCase(JSON& out, const SmoothScroll& v) {
  JSONObjectWriter(out)
      .field("dx", v.dx)
      .field("dy", v.dy)
      .field("phase", v.phase)
      .field("momentum", v.momentum);
}
void encodeCase(JSON& out, const MouseDelta& v) { JSONObjectWriter(out).field("dx", v.dx).field("dy", v.dy); }
void encodeCase(JSON& out, const Key& v) {
  JSONObjectWriter(out).field("code", v.code).field("down", v.down).field("flags", v.flags);
}
void encodeCase(JSON& out, const Text& v) { JSONObjectWriter(out).field("_0", v.text); }

bool decodeCase(const JSON& in, MouseMove& v, DecodingError& e) {
  return JSONObjectReader(in, e).field("x", v.x).field("y", v.y).ok();
}
bool decodeCase(const JSON& in, MouseButtonChange& v, DecodingError& e) {
  return JSONObjectReader(in, e).field("button", v.button).field("down", v.down).field("x", v.x).field("y", v.y).ok();
}
bool decodeCase(const JSON& in, Scroll& v, DecodingError& e) {
  return JSONObjectReader(in, e).field("dx", v.dx).field("dy", v.dy).ok();
}
bool decodeCase(const JSON& in, SmoothScroll& v, DecodingError& e) {
  return JSONObjectReader(in, e)
      .field("dx", v.dx)
      .field("dy", v.dy)
      .field("phase", v.phase)
      .field("momentum", v.momentum)
      .ok();
}
bool decodeCase(const JSON& in, MouseDelta& v, DecodingError& e) {
  return JSONObjectReader(in, e).field("dx", v.dx).field("dy", v.dy).ok();
}
bool decodeCase(const JSON& in, Key& v, DecodingError& e) {
  return JSONObjectReader(in, e).field("code", v.code).field("down", v.down).field("flags", v.flags).ok();
}
bool decodeCase(const JSON& in, Text& v, DecodingError& e) {
  return JSONObjectReader(in, e).field("_0", v.text).ok();
}

}  // namespace
}  // namespace input_event

void encodeJSON(JSON& out, const InputEvent& value) {
  out = JSON::object();
  auto& body = out[value.caseName()];
  std::visit([&](const auto& c) { input_event::encodeCase(body, c); }, value);
}

bool decodeJSON(const JSON& in, InputEvent& out, DecodingError& error) {
  static_assert(std::variant_size_v<InputEvent::variant> == InputEvent::caseNames.size());
  std::size_t index = 0;
  const JSON* body = nullptr;
  if (!decodeOneKeyObject(in, InputEvent::caseNames, index, body, error)) return false;
  using namespace input_event;
  bool ok = false;
  switch (index) {
    case 0: ok = decodeCase(*body, out.emplace<MouseMove>(), error); break;
    case 1: ok = decodeCase(*body, out.emplace<MouseButtonChange>(), error); break;
    case 2: ok = decodeCase(*body, out.emplace<Scroll>(), error); break;
    case 3: ok = decodeCase(*body, out.emplace<SmoothScroll>(), error); break;
    case 4: ok = decodeCase(*body, out.emplace<MouseDelta>(), error); break;
    case 5: ok = decodeCase(*body, out.emplace<Key>(), error); break;
    case 6: ok = decodeCase(*body, out.emplace<Text>(), error); break;
    default: break;
  }
  if (!ok) error.prependPath(InputEvent::caseNames[index]);
  return ok;
}

}  // namespace corvel::protocol
