#pragma once

#include <array>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/protocol/AnnotationStroke.h"

namespace corvel::protocol {

namespace annotation_event {

struct Stroke {
  AnnotationStroke stroke;  // unlabelled ("_0") on the wire
  friend bool operator==(const Stroke&, const Stroke&) = default;
};
struct Clear {
  friend bool operator==(const Clear&, const Clear&) = default;
};

}  // namespace annotation_event

// A client's drawing over the host's screen. JSON: an object with one key, the case name.
//
//   {"stroke": {"_0": {...AnnotationStroke...}}}   {"clear": {}}
struct AnnotationEvent : std::variant<annotation_event::Stroke, annotation_event::Clear> {
  using Stroke = annotation_event::Stroke;
  using Clear = annotation_event::Clear;

  using variant::variant;

  static constexpr std::array<std::string_view, 2> caseNames = {"stroke", "clear"};
  std::string_view caseName() const { return caseNames[index()]; }
};

void encodeJSON(nlohmann::json& out, const AnnotationEvent& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, AnnotationEvent& out, DecodingError& error);

}  // namespace corvel::protocol
