#include "Ambrel_Host/controller/ClipboardText.h"

#include "CorvelKit/base/Unicode.h"

namespace ambrel {

std::string ClipboardText::fromUTF8(corvel::ByteView bytes) {
  auto text = corvel::asString(bytes);
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  return corvel::unicode::encodeUTF8(corvel::unicode::decodeUTF8(text));
}

std::string ClipboardText::fromLatin1(corvel::ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (auto b : bytes) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  if (!out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

std::string ClipboardText::toLatin1(std::string_view utf8) {
  std::string out;
  for (char32_t c : corvel::unicode::decodeUTF8(utf8)) out += c <= 0xFF ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace ambrel
