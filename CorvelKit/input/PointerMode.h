#pragma once

#include <optional>
#include <string_view>

namespace corvel::input {

// How a touch screen drives the remote pointer.
enum class PointerMode {
  touch,     // the pointer jumps to where the finger is
  trackpad,  // the finger moves a cursor relatively (TrackpadPointer)
};

constexpr std::string_view rawValue(PointerMode mode) {
  return mode == PointerMode::touch ? "touch" : "trackpad";
}

constexpr std::optional<PointerMode> pointerMode(std::string_view rawValue) {
  if (rawValue == "touch") return PointerMode::touch;
  if (rawValue == "trackpad") return PointerMode::trackpad;
  return std::nullopt;
}

}  // namespace corvel::input
