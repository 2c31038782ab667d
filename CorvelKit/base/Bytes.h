#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// An owned byte string, and a borrowed view of one.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline Bytes toBytes(std::string_view s) {
  auto v = asBytes(s);
  return {v.begin(), v.end()};
}

inline std::string_view asString(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

inline void append(Bytes& out, ByteView b) { out.insert(out.end(), b.begin(), b.end()); }

// Lower-case hexadecimal, for tests and diagnostics (never for secrets in logs).
std::string hexString(ByteView b);
// Parses hexadecimal (either case); returns false on odd length or a non-hex digit.
bool parseHex(std::string_view hex, Bytes& out);

// Overwrites memory that held a secret, in a way the optimiser cannot drop.
void secureWipe(void* p, std::size_t n);
inline void secureWipe(Bytes& b) {
  secureWipe(b.data(), b.size());
  b.clear();
}

}  // namespace corvel
