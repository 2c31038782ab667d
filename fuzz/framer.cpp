// Feeds the input to the framer once whole and once in pseudo-random pieces; both must yield the
// same frames and leave the same partial frame behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CorvelKit/protocol/CorvelFramer.h"

using corvel::Bytes;
using corvel::ByteView;
using corvel::protocol::CorvelFramer;
using corvel::protocol::MessageType;

namespace {

struct Frame {
  MessageType type;
  Bytes payload;
  bool operator==(const Frame&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView input(data, size);

  std::vector<Frame> whole;
  CorvelFramer oneShot;
  oneShot.feed(input, [&](MessageType type, ByteView payload) {
    // A frame delivered from a single chunk must point into that chunk.
    if (!payload.empty() && (payload.data() < data || payload.data() + payload.size() > data + size)) {
      std::abort();
    }
    whole.push_back({type, Bytes(payload.begin(), payload.end())});
  });

  std::vector<Frame> pieces;
  CorvelFramer split;
  std::uint32_t state = static_cast<std::uint32_t>(size) * 2654435761u + (size ? data[0] : 0u) + 1;
  std::size_t at = 0;
  while (at < size) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::size_t n = 1 + state % 23;  // small pieces, so headers and payloads get cut everywhere
    if (state & 0x100000) n = 1 + state % (size - at);
    if (n > size - at) n = size - at;
    split.feed(input.subspan(at, n), [&](MessageType type, ByteView payload) {
      pieces.push_back({type, Bytes(payload.begin(), payload.end())});
    });
    at += n;
  }

  if (whole != pieces) std::abort();
  if (oneShot.bufferedBytes() != split.bufferedBytes()) std::abort();
  if (oneShot.atFrameBoundary() != split.atFrameBoundary()) std::abort();
  // Nothing is held beyond what arrived.
  if (split.bufferedCapacity() > 2 * size + 64) std::abort();
  return 0;
}
