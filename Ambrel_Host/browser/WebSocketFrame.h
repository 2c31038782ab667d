#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

// RFC 6455 base framing as the browser server uses it. Pure functions over bytes.
//
// Reading: FIN and the reserved bits are not examined, fragments are not reassembled, and a
// frame is taken masked or not. A frame longer than `maxPayloadBytes`, or a 64-bit length with its
// top bit set, is invalid: the viewer is closed rather than buffering without bound.
// Writing: one unmasked frame with FIN set.
struct WebSocketFrame {
  enum Opcode : std::uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
  };

  static constexpr std::size_t maxPayloadBytes = 1 << 20;
  static constexpr std::size_t maxHeaderBytes = 14;

  enum class Status { complete, needMore, invalid };

  struct Parsed {
    Status status = Status::needMore;
    std::uint8_t opcode = 0;
    corvel::Bytes payload;  // unmasked
    std::size_t size = 0;   // bytes of `buffer` the frame took (complete only)
  };

  // The first frame at the start of `buffer`.
  static Parsed parse(corvel::ByteView buffer, std::size_t maxPayload = maxPayloadBytes);

  // The header of an unmasked final frame carrying `length` bytes; `headerSize` gets its size.
  struct Header {
    std::array<std::uint8_t, 10> bytes{};
    std::size_t size = 0;
    corvel::ByteView view() const { return {bytes.data(), size}; }
  };
  static Header header(std::uint8_t opcode, std::uint64_t length);
  // A whole unmasked final frame.
  static corvel::Bytes encode(std::uint8_t opcode, corvel::ByteView payload);
  // A masked frame, as a browser sends it (for tests and clients).
  static corvel::Bytes encodeMasked(std::uint8_t opcode, corvel::ByteView payload,
                                    std::array<std::uint8_t, 4> mask);
};

}  // namespace ambrel
