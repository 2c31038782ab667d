#pragma once

#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::protocol {

// One stroke drawn by a client over the host's screen.
struct AnnotationStroke {
  UUID id;
  std::vector<float> points;
  std::vector<float> color;
  float width = 0;

  friend bool operator==(const AnnotationStroke&, const AnnotationStroke&) = default;
};

void encodeJSON(nlohmann::json& out, const AnnotationStroke& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, AnnotationStroke& out, DecodingError& error);

}  // namespace corvel::protocol
