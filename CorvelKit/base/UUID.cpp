#include "CorvelKit/base/UUID.h"

#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>

#include "CorvelKit/base/Log.h"

namespace corvel {

namespace {

constexpr std::size_t kTextLength = 36;

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UUID UUID::random() {
  Raw raw;
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
    // Without a working random source no identifier can be trusted to be unique.
    Log::core("base").critical("secure random source failed while making a UUID");
    std::abort();
  }
  raw[6] = static_cast<std::uint8_t>((raw[6] & 0x0F) | 0x40);  // version 4
  raw[8] = static_cast<std::uint8_t>((raw[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return UUID(raw);
}

std::optional<UUID> UUID::parse(std::string_view text) {
  if (text.size() != kTextLength) return std::nullopt;
  Raw raw;
  std::size_t out = 0;
  for (std::size_t i = 0; i < kTextLength;) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hexDigit(text[i]);
    int lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0 || isHyphenPosition(i + 1)) return std::nullopt;
    raw[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return UUID(raw);
}

std::optional<UUID> UUID::fromBytes(ByteView bytes) {
  if (bytes.size() != size) return std::nullopt;
  Raw raw;
  std::memcpy(raw.data(), bytes.data(), size);
  return UUID(raw);
}

std::string UUID::string() const {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(kTextLength);
  for (std::size_t i = 0; i < size; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
    s.push_back(digits[raw_[i] >> 4]);
    s.push_back(digits[raw_[i] & 0xF]);
  }
  return s;
}

}  // namespace corvel

std::size_t std::hash<corvel::UUID>::operator()(const corvel::UUID& id) const noexcept {
  std::uint64_t a, b;
  std::memcpy(&a, id.raw().data(), 8);
  std::memcpy(&b, id.raw().data() + 8, 8);
  return static_cast<std::size_t>(a ^ (b * 0x9E3779B97F4A7C15ULL));
}
