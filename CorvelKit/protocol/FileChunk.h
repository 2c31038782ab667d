#pragma once

#include <cstddef>
#include <optional>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::protocol {

// The binary payload of a fileChunk message: the 16 raw bytes of the offer's identifier followed
// by the chunk's data. A parsed chunk borrows its data from the payload it was read from.
struct FileChunk {
  // The most data bytes a sender puts in one chunk.
  static constexpr std::size_t maxDataSize = 65536;

  UUID id;
  ByteView data;

  // Nothing when the payload is shorter than an identifier. Longer chunks than a sender would
  // make are accepted; limits on what is received are the receiver's business.
  [[nodiscard]] static std::optional<FileChunk> parse(ByteView payload);
  // The payload, or nothing when `data` exceeds maxDataSize.
  [[nodiscard]] static std::optional<Bytes> encode(const UUID& id, ByteView data);
};

}  // namespace corvel::protocol
