#include "CorvelKit/base/Bytes.h"

#include <openssl/crypto.h>

namespace corvel {

std::string hexString(ByteView b) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (auto c : b) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 0xF]);
  }
  return s;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool parseHex(std::string_view hex, Bytes& out) {
  if (hex.size() % 2 != 0) return false;
  Bytes result;
  result.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = hexValue(hex[i]);
    int lo = hexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    result.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  out = std::move(result);
  return true;
}

void secureWipe(void* p, std::size_t n) {
  if (p != nullptr && n > 0) OPENSSL_cleanse(p, n);
}

}  // namespace corvel
