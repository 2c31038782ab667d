#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/protocol/MessageType.h"

namespace corvel::protocol {

// Splits a byte stream into messages and writes messages into one.
//
// Each frame is an 8-byte header, the message type and the payload length as unsigned 32-bit
// big-endian numbers, followed by the payload. There is no magic, version or checksum.
//
// Reading: `feed` takes the bytes as they arrive, in chunks of any size, and calls back once per
// complete frame, in order. Unassigned type numbers arrive as `MessageType::invalid` with their
// payload, so the stream stays in step. It never allocates for bytes that have not arrived: a
// header that announces 4 GiB costs nothing until the data is there. With a payload limit, a
// header that announces more stops the stream at once (`oversized()`): the owner closes it.
//
//   CorvelFramer framer;
//   framer.feed(chunk, [&](MessageType type, ByteView payload) { dispatch(type, payload); });
//
// The payload view is valid only during the callback. A frame that lies wholly inside the fed
// chunk is handed out in place, without a copy; only frames split across chunks are gathered in
// an internal buffer. The callback must not call `feed` on the same framer.
//
// One framer belongs to one connection and is used from that connection's strand only.
class CorvelFramer {
 public:
  static constexpr std::size_t headerSize = 8;
  // The largest payload a frame can carry.
  static constexpr std::uint64_t maxPayloadLength = 0xFFFF'FFFFull;

  // ---- Writing ----

  // Writes the 8-byte header. A missing type is written as 0 (`invalid`). Fails (and writes
  // nothing) when the length does not fit the 32-bit length field.
  [[nodiscard]] static bool writeHeader(std::optional<MessageType> type, std::uint64_t length,
                                        std::span<std::uint8_t, headerSize> out);
  // Appends header and payload to `out`. Fails (appending nothing) when the payload is too long.
  [[nodiscard]] static bool appendFrame(Bytes& out, std::optional<MessageType> type,
                                        ByteView payload);
  // One frame as a new buffer, or nothing when the payload is too long.
  [[nodiscard]] static std::optional<Bytes> frame(std::optional<MessageType> type,
                                                  ByteView payload);

  // ---- Reading ----

  template <class OnFrame>
  void feed(ByteView data, OnFrame&& onFrame);

  // The largest payload accepted from now on; a header announcing more ends the stream.
  void setPayloadLimit(std::uint32_t limit) { limit_ = limit; }
  // A header announced more than the limit; nothing more is read.
  bool oversized() const { return oversized_; }

  // True between frames (no partial header or payload held).
  bool atFrameBoundary() const { return headerFill_ == 0; }
  // How many bytes of the current frame are held: partial header plus gathered payload.
  std::size_t bufferedBytes() const {
    return headerFill_ < headerSize ? headerFill_ : headerSize + payload_.size();
  }
  // Memory held for gathering payloads split across chunks.
  std::size_t bufferedCapacity() const { return payload_.capacity(); }

  // ---- Reading a large payload in place ----
  //
  // A reader may take a frame over once its header is in, and read the rest of its payload
  // straight into a buffer of its own instead of having it gathered here chunk by chunk:
  //
  //   framer.feed(chunk, dispatch);
  //   if (auto frame = framer.takePartialFrame(buffer, 16 * 1024)) {
  //     // buffer holds the first bytes of the payload; read frame->length - buffer.size() more
  //   }
  //
  // Only a frame whose payload is at least `minLength` bytes is taken. The payload bytes that
  // arrived so far move into `into`, whose old buffer (emptied) stays here for the next split
  // frame, so the two buffers trade places instead of being copied; the framer is then between
  // frames. Nothing is taken when no header is complete (or the stream stopped at an oversized
  // one).
  struct PartialFrame {
    MessageType type = MessageType::invalid;
    std::uint32_t length = 0;
  };
  std::optional<PartialFrame> takePartialFrame(Bytes& into, std::uint32_t minLength = 0) {
    if (oversized_ || headerFill_ < headerSize || length_ < minLength) return std::nullopt;
    into.swap(payload_);
    payload_.clear();
    if (payload_.capacity() > kRetainedCapacity) payload_ = Bytes();
    headerFill_ = 0;
    return PartialFrame{type_, length_};
  }

 private:
  // A gathering buffer larger than this is released after its frame instead of being kept for
  // the next one.
  static constexpr std::size_t kRetainedCapacity = 256 * 1024;

  void takeHeader(const std::uint8_t* header) {
    type_ = messageTypeFromWire(loadU32BE(header));
    length_ = loadU32BE(header + 4);
    headerFill_ = headerSize;
  }

  std::uint8_t header_[headerSize] = {};
  std::size_t headerFill_ = 0;  // headerSize once the current frame's header is complete
  MessageType type_ = MessageType::invalid;
  std::uint32_t length_ = 0;
  Bytes payload_;  // the part of a split payload received so far
  std::uint32_t limit_ = 0xFFFF'FFFFu;
  bool oversized_ = false;
};

template <class OnFrame>
void CorvelFramer::feed(ByteView data, OnFrame&& onFrame) {
  while (!oversized_) {
    if (headerFill_ < headerSize) {
      if (data.empty()) return;
      if (headerFill_ == 0 && data.size() >= headerSize) {
        takeHeader(data.data());
        data = data.subspan(headerSize);
      } else {
        std::size_t n = std::min(headerSize - headerFill_, data.size());
        std::memcpy(header_ + headerFill_, data.data(), n);
        headerFill_ += n;
        data = data.subspan(n);
        if (headerFill_ < headerSize) return;
        takeHeader(header_);
      }
      if (length_ > limit_) {
        oversized_ = true;
        return;
      }
    }

    // The header is complete; the payload is either wholly in `data` (and nothing gathered yet)
    // or gathered piece by piece.
    if (payload_.empty() && data.size() >= length_) {
      auto payload = data.first(length_);
      data = data.subspan(length_);
      headerFill_ = 0;
      onFrame(type_, payload);
      continue;
    }
    if (data.empty()) return;
    std::size_t n = std::min<std::size_t>(length_ - payload_.size(), data.size());
    payload_.insert(payload_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    data = data.subspan(n);
    if (payload_.size() < length_) return;

    // Hand the gathered payload out from a local so the framer is between frames while the
    // callback runs, then keep the buffer for the next split frame unless it grew large.
    Bytes gathered = std::move(payload_);
    payload_ = Bytes();
    headerFill_ = 0;
    onFrame(type_, ByteView(gathered));
    if (gathered.capacity() <= kRetainedCapacity && payload_.capacity() == 0) {
      gathered.clear();
      payload_ = std::move(gathered);
    }
  }
}

}  // namespace corvel::protocol
