#include "CorvelKit/protocol/MacCommand.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, const MacCommand& value) {
  out = JSON::object();
  JSONObjectWriter body(out[value.caseName()]);
  if (auto* c = std::get_if<MacCommand::OpenApp>(&value)) body.field("name", c->name);
  if (auto* c = std::get_if<MacCommand::OpenURL>(&value)) body.field("_0", c->url);
  if (auto* c = std::get_if<MacCommand::RunShortcut>(&value)) body.field("name", c->name);
}

bool decodeJSON(const JSON& in, MacCommand& out, DecodingError& error) {
  static_assert(std::variant_size_v<MacCommand::variant> == MacCommand::caseNames.size());
  std::size_t index = 0;
  const JSON* body = nullptr;
  if (!decodeOneKeyObject(in, MacCommand::caseNames, index, body, error)) return false;
  JSONObjectReader reader(*body, error);
  switch (index) {
    case 0: reader.field("name", out.emplace<MacCommand::OpenApp>().name); break;
    case 1: reader.field("_0", out.emplace<MacCommand::OpenURL>().url); break;
    default: reader.field("name", out.emplace<MacCommand::RunShortcut>().name); break;
  }
  if (!reader.ok()) error.prependPath(MacCommand::caseNames[index]);
  return reader.ok();
}

}  // namespace corvel::protocol
