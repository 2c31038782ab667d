#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"

namespace corvel {

// A 128-bit universally unique identifier, kept as its 16 raw bytes in wire order.
// Text form: canonical 8-4-4-4-12 hexadecimal, written in upper case.
class UUID {
 public:
  static constexpr std::size_t size = 16;
  using Raw = std::array<std::uint8_t, size>;

  // The nil UUID (all zero bytes).
  constexpr UUID() = default;
  constexpr explicit UUID(const Raw& raw) : raw_(raw) {}

  // A random (version 4, RFC 4122 variant) UUID from the system's secure random source.
  static UUID random();
  // Accepts the canonical form in either case; anything else (braces, missing or extra
  // characters, misplaced hyphens) is refused.
  [[nodiscard]] static std::optional<UUID> parse(std::string_view text);
  // Exactly 16 bytes, or nothing.
  [[nodiscard]] static std::optional<UUID> fromBytes(ByteView bytes);

  std::string string() const;
  ByteView bytes() const { return raw_; }
  const Raw& raw() const { return raw_; }
  bool isNil() const { return raw_ == Raw{}; }

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Raw raw_{};
};

}  // namespace corvel

template <>
struct std::hash<corvel::UUID> {
  std::size_t operator()(const corvel::UUID& id) const noexcept;
};
