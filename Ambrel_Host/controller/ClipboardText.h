#pragma once

#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

// Clipboard text as other programs on the desktop hand it over, and back: the bytes of a
// selection are anyone's, so they are made valid UTF-8 before they go anywhere.
struct ClipboardText {
  // UTF8_STRING (and TEXT) data: malformed sequences become U+FFFD; a trailing NUL that some
  // owners add is dropped.
  static std::string fromUTF8(corvel::ByteView bytes);
  // STRING data, which is ISO Latin-1.
  static std::string fromLatin1(corvel::ByteView bytes);
  // For requestors that ask for STRING: characters beyond Latin-1 become "?".
  static std::string toLatin1(std::string_view utf8);
};

}  // namespace ambrel
