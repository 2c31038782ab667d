#include "CorvelKit/protocol/FileChunk.h"

namespace corvel::protocol {

std::optional<FileChunk> FileChunk::parse(ByteView payload) {
  if (payload.size() < UUID::size) return std::nullopt;
  auto id = UUID::fromBytes(payload.first(UUID::size));
  if (!id) return std::nullopt;
  return FileChunk{*id, payload.subspan(UUID::size)};
}

std::optional<Bytes> FileChunk::encode(const UUID& id, ByteView data) {
  if (data.size() > maxDataSize) return std::nullopt;
  Bytes out;
  out.reserve(UUID::size + data.size());
  append(out, id.bytes());
  append(out, data);
  return out;
}

}  // namespace corvel::protocol
