#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// Describes the audio packets that follow.
struct AudioStreamFormat {
  double sampleRate = 0;
  std::int64_t channels = 0;
  std::int64_t framesPerPacket = 0;
  // Codec configuration; Base64 in JSON.
  std::optional<Bytes> magicCookie;

  friend bool operator==(const AudioStreamFormat&, const AudioStreamFormat&) = default;
};

void encodeJSON(nlohmann::json& out, const AudioStreamFormat& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, AudioStreamFormat& out, DecodingError& error);

}  // namespace corvel::protocol
