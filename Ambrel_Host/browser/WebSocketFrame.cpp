#include "Ambrel_Host/browser/WebSocketFrame.h"

namespace ambrel {

WebSocketFrame::Parsed WebSocketFrame::parse(corvel::ByteView buffer, std::size_t maxPayload) {
  Parsed result;
  if (buffer.size() < 2) return result;
  result.opcode = buffer[0] & 0x0F;
  const bool masked = (buffer[1] & 0x80) != 0;
  std::uint64_t length = buffer[1] & 0x7F;
  std::size_t offset = 2;
  if (length == 126) {
    if (buffer.size() < 4) return result;
    length = (std::uint64_t{buffer[2]} << 8) | buffer[3];
    offset = 4;
  } else if (length == 127) {
    if (buffer.size() < 10) return result;
    length = 0;
    for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | buffer[i];
    offset = 10;
    if ((length >> 63) != 0) {
      result.status = Status::invalid;
      return result;
    }
  }
  if (length > maxPayload) {
    result.status = Status::invalid;
    return result;
  }
  std::array<std::uint8_t, 4> mask{};
  if (masked) {
    if (buffer.size() < offset + 4) return result;
    for (std::size_t i = 0; i < 4; ++i) mask[i] = buffer[offset + i];
    offset += 4;
  }
  const auto n = static_cast<std::size_t>(length);
  if (buffer.size() - offset < n) return result;
  result.payload.assign(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                        buffer.begin() + static_cast<std::ptrdiff_t>(offset + n));
  if (masked) {
    for (std::size_t i = 0; i < n; ++i) result.payload[i] ^= mask[i % 4];
  }
  result.size = offset + n;
  result.status = Status::complete;
  return result;
}

WebSocketFrame::Header WebSocketFrame::header(std::uint8_t opcode, std::uint64_t length) {
  Header h;
  h.bytes[0] = static_cast<std::uint8_t>(0x80 | (opcode & 0x0F));
  if (length <= 125) {
    h.bytes[1] = static_cast<std::uint8_t>(length);
    h.size = 2;
  } else if (length <= 0xFFFF) {
    h.bytes[1] = 126;
    h.bytes[2] = static_cast<std::uint8_t>(length >> 8);
    h.bytes[3] = static_cast<std::uint8_t>(length);
    h.size = 4;
  } else {
    h.bytes[1] = 127;
    for (std::size_t i = 0; i < 8; ++i) {
      h.bytes[2 + i] = static_cast<std::uint8_t>(length >> (56 - 8 * i));
    }
    h.size = 10;
  }
  return h;
}

corvel::Bytes WebSocketFrame::encode(std::uint8_t opcode, corvel::ByteView payload) {
  const auto h = header(opcode, payload.size());
  corvel::Bytes out;
  out.reserve(h.size + payload.size());
  corvel::append(out, h.view());
  corvel::append(out, payload);
  return out;
}

corvel::Bytes WebSocketFrame::encodeMasked(std::uint8_t opcode, corvel::ByteView payload,
                                           std::array<std::uint8_t, 4> mask) {
  auto out = encode(opcode, payload);
  const std::size_t offset = out.size() - payload.size();
  out[1] |= 0x80;
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(offset), mask.begin(), mask.end());
  for (std::size_t i = 0; i < payload.size(); ++i) out[offset + 4 + i] ^= mask[i % 4];
  return out;
}

}  // namespace ambrel
