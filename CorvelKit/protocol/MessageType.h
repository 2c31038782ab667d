#pragma once

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

namespace corvel::protocol {

// The type of a message, carried as an unsigned 32-bit number in each frame's header.
// Numbers 28-39 and above 42 are not assigned and read as `invalid`.
enum class MessageType : std::uint32_t {
  invalid = 0,
  hello = 1,
  helloAck = 2,
  video = 3,
  input = 4,
  clipboard = 5,
  selectDisplay = 6,
  keyframeRequest = 7,
  ping = 8,
  pong = 9,
  bye = 10,
  audioFormat = 11,
  audio = 12,
  fileOffer = 13,
  fileChunk = 14,
  fileEnd = 15,
  chat = 16,
  permissions = 17,
  hostStatus = 18,
  hostAction = 19,
  annotation = 20,
  sharerInfo = 21,
  macCommand = 22,
  screenTextRequest = 23,
  screenText = 24,
  screenshotRequest = 25,
  screenshot = 26,
  displays = 27,
  secureClientHello = 40,
  secureServerHello = 41,
  secureFinish = 42,
};

// The message type a wire number names; unassigned numbers give `invalid`.
constexpr MessageType messageTypeFromWire(std::uint32_t raw) {
  if (raw <= static_cast<std::uint32_t>(MessageType::displays) ||
      (raw >= static_cast<std::uint32_t>(MessageType::secureClientHello) &&
       raw <= static_cast<std::uint32_t>(MessageType::secureFinish))) {
    return static_cast<MessageType>(raw);
  }
  return MessageType::invalid;
}

constexpr std::uint32_t wireValue(MessageType type) { return static_cast<std::uint32_t>(type); }

// The case name ("hello", "fileChunk", ...), for logs.
std::string_view name(MessageType type);

}  // namespace corvel::protocol

template <>
struct fmt::formatter<corvel::protocol::MessageType> : fmt::formatter<std::string_view> {
  template <class Context>
  auto format(corvel::protocol::MessageType type, Context& ctx) const {
    return fmt::formatter<std::string_view>::format(corvel::protocol::name(type), ctx);
  }
};
