#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvel::unicode {

inline constexpr char32_t replacementCharacter = U'\uFFFD';

// The code points of UTF-8 text. A malformed or truncated sequence, an over-long form, an encoded
// surrogate or a value past U+10FFFF becomes one U+FFFD per offending byte run, as decoders do.
std::u32string decodeUTF8(std::string_view utf8);

// UTF-8 text of code points; surrogates and values past U+10FFFF become U+FFFD.
std::string encodeUTF8(std::u32string_view text);

// Text another device chose (a name, an address), fit for a terminal: control characters (C0 and
// DEL: escape sequences, new lines) are shown as \xNN instead of acting on the screen.
std::string escapeControls(std::string_view text);

// The number of UTF-16 code units that encode `c`: 2 past U+FFFF, else 1.
inline constexpr std::size_t utf16Length(char32_t c) { return c > 0xFFFF ? 2 : 1; }

}  // namespace corvel::unicode
