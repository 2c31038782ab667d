#include "CorvelKit/base/Base64.h"

#include <openssl/evp.h>

namespace corvel {

std::string Base64::encode(ByteView data) {
  std::string out(4 * ((data.size() + 2) / 3), '\0');
  if (data.empty()) return out;
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                          static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<Bytes> Base64::decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return Bytes{};
  std::size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    char c = text[i];
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '+' || c == '/';
    if (!ok) return std::nullopt;
  }
  Bytes out(3 * (text.size() / 4));
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

}  // namespace corvel
