#include "CorvelKit/protocol/CorvelFramer.h"

namespace corvel::protocol {

bool CorvelFramer::writeHeader(std::optional<MessageType> type, std::uint64_t length,
                               std::span<std::uint8_t, headerSize> out) {
  if (length > maxPayloadLength) return false;
  storeU32BE(out.data(), wireValue(type.value_or(MessageType::invalid)));
  storeU32BE(out.data() + 4, static_cast<std::uint32_t>(length));
  return true;
}

bool CorvelFramer::appendFrame(Bytes& out, std::optional<MessageType> type, ByteView payload) {
  std::uint8_t header[headerSize];
  if (!writeHeader(type, payload.size(), header)) return false;
  out.insert(out.end(), header, header + headerSize);
  out.insert(out.end(), payload.begin(), payload.end());
  return true;
}

std::optional<Bytes> CorvelFramer::frame(std::optional<MessageType> type, ByteView payload) {
  Bytes out;
  if (!appendFrame(out, type, payload)) return std::nullopt;
  return out;
}

}  // namespace corvel::protocol

