#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "CorvelKit/base/Bytes.h"

namespace corvel {

// Wire integers are big-endian everywhere.
inline std::uint16_t loadU16BE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t loadU32BE(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint64_t loadU64BE(const std::uint8_t* p) {
  return std::uint64_t{loadU32BE(p)} << 32 | loadU32BE(p + 4);
}
inline void storeU16BE(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void storeU32BE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void storeU64BE(std::uint8_t* p, std::uint64_t v) {
  storeU32BE(p, static_cast<std::uint32_t>(v >> 32));
  storeU32BE(p + 4, static_cast<std::uint32_t>(v));
}

// Appends big-endian integers and byte strings to a buffer it does not own.
class ByteWriter {
 public:
  explicit ByteWriter(Bytes& out) : out_(out) {}

  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) { storeU16BE(grow(2), v); }
  void u32(std::uint32_t v) { storeU32BE(grow(4), v); }
  void u64(std::uint64_t v) { storeU64BE(grow(8), v); }
  void bytes(ByteView b) { append(out_, b); }

 private:
  std::uint8_t* grow(std::size_t n) {
    out_.resize(out_.size() + n);
    return out_.data() + out_.size() - n;
  }
  Bytes& out_;
};

// Reads big-endian integers from untrusted bytes. Every read checks the remaining length first
// and returns nullopt (consuming nothing) when the bytes are not there.
class ByteReader {
 public:
  explicit ByteReader(ByteView in) : in_(in) {}

  std::size_t remaining() const { return in_.size() - pos_; }
  bool atEnd() const { return pos_ == in_.size(); }
  std::size_t position() const { return pos_; }

  std::optional<std::uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return in_[pos_++];
  }
  std::optional<std::uint16_t> u16() { return read<std::uint16_t, 2>(loadU16BE); }
  std::optional<std::uint32_t> u32() { return read<std::uint32_t, 4>(loadU32BE); }
  std::optional<std::uint64_t> u64() { return read<std::uint64_t, 8>(loadU64BE); }

  // A view of the next n bytes, or nullopt when fewer remain.
  std::optional<ByteView> bytes(std::size_t n) {
    if (remaining() < n) return std::nullopt;
    auto v = in_.subspan(pos_, n);
    pos_ += n;
    return v;
  }
  ByteView rest() {
    auto v = in_.subspan(pos_);
    pos_ = in_.size();
    return v;
  }

 private:
  template <class T, std::size_t N>
  std::optional<T> read(T (*load)(const std::uint8_t*)) {
    if (remaining() < N) return std::nullopt;
    T v = load(in_.data() + pos_);
    pos_ += N;
    return v;
  }
  ByteView in_;
  std::size_t pos_ = 0;
};

}  // namespace corvel
