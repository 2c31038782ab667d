// Any program on the desktop may own the clipboard and hand over any bytes as its text. Whatever
// they are, the text that comes of them is valid UTF-8 (it goes into JSON for the devices), and
// text that is valid already passes unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Ambrel_Host/controller/ClipboardText.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/protocol/Clipboard.h"

using namespace corvel;

namespace {
bool validUTF8(const std::string& s) { return unicode::encodeUTF8(unicode::decodeUTF8(s)) == s; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  for (const auto& text : {ambrel::ClipboardText::fromUTF8(bytes), ambrel::ClipboardText::fromLatin1(bytes)}) {
    if (!validUTF8(text)) std::abort();
    if (!JSONCoding::encode(protocol::Clipboard{text})) std::abort();
    // One Latin-1 byte a character, for requestors that ask for STRING.
    if (ambrel::ClipboardText::toLatin1(text).size() != unicode::decodeUTF8(text).size()) std::abort();
  }
  // Valid UTF-8 without a trailing NUL comes through as it is.
  const auto utf8 = ambrel::ClipboardText::fromUTF8(bytes);
  const auto raw = std::string(asString(bytes));
  if (validUTF8(raw) && (raw.empty() || raw.back() != '\0') && utf8 != raw) std::abort();
  return 0;
}
