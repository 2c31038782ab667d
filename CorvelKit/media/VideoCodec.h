#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::media {

// The video codecs a stream can use; shared with the wire protocol and the settings.
enum class VideoCodec {
  h264,
  hevc,
};

// The strings on the wire, in the order of the cases.
inline constexpr std::array<std::string_view, 2> videoCodecNames = {
    "h264",
    "hevc",
};

constexpr std::string_view wireName(VideoCodec value) {
  return videoCodecNames[static_cast<std::size_t>(value)];
}
std::optional<VideoCodec> videoCodecFromWire(std::string_view text);

// HEVC only when the host prefers it, someone is watching and every viewer says it can decode
// it (an absent answer counts as no); H.264 otherwise.
VideoCodec negotiatedVideoCodec(bool preferHEVC,
                                std::span<const std::optional<bool>> viewerHEVCSupport);

void encodeJSON(nlohmann::json& out, VideoCodec value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, VideoCodec& out, DecodingError& error);

}  // namespace corvel::media
