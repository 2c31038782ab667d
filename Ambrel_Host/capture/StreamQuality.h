#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ambrel {

// The picture presets a person chooses between.
enum class StreamQuality { smooth, balanced, sharp };

struct StreamQualityPreset {
  int maxWidth;          // pixels; caps the captured width
  std::int64_t bitrate;  // bits per second; every pipeline's target
};

constexpr StreamQualityPreset preset(StreamQuality q) {
  switch (q) {
    case StreamQuality::smooth: return {1600, 6'000'000};
    case StreamQuality::balanced: return {2304, 12'000'000};
    case StreamQuality::sharp: return {3840, 30'000'000};
  }
  return {2304, 12'000'000};
}

constexpr std::string_view name(StreamQuality q) {
  switch (q) {
    case StreamQuality::smooth: return "smooth";
    case StreamQuality::balanced: return "balanced";
    case StreamQuality::sharp: return "sharp";
  }
  return "balanced";
}

constexpr std::optional<StreamQuality> streamQuality(std::string_view raw) {
  if (raw == "smooth") return StreamQuality::smooth;
  if (raw == "balanced") return StreamQuality::balanced;
  if (raw == "sharp") return StreamQuality::sharp;
  return std::nullopt;
}

// Frames per second of every pipeline: 120 with "Smoother motion", else 60.
constexpr int frameRate(bool highFrameRate) { return highFrameRate ? 120 : 60; }

}  // namespace ambrel
