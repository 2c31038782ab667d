#include "CorvelKit/files/SafeFileName.h"

#include <utility>

#include "CorvelKit/base/Unicode.h"

namespace corvel::files {

namespace {

// White space and line breaks as Unicode counts them, and the period.
bool trimmed(char32_t c) {
  switch (c) {
    case U'.':
    case U' ':
    case U'\t':
    case U'\n':
    case U'\v':
    case U'\f':
    case U'\r':
    case U'\u0085':
    case U'\u00A0':
    case U'\u1680':
    case U'\u202F':
    case U'\u205F':
    case U'\u3000':
    case U'\u2028':
    case U'\u2029':
      return true;
    default:
      return c >= U'\u2000' && c <= U'\u200A';
  }
}

// The longest prefix of `text` of at most `bytes` bytes that ends on a character boundary.
std::string_view prefix(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Longest extension that is kept when a long name is shortened; a longer one is cut like the
// rest of the name.
constexpr std::size_t kKeptExtension = 32;

// `base` shortened so that base + suffix + "." + extension fits.
std::string fit(std::string_view base, std::string_view suffix, std::string_view extension) {
  const std::size_t tail = suffix.size() + (extension.empty() ? 0 : extension.size() + 1);
  if (base.size() + tail <= SafeFileName::maximumBytes) {
    std::string out(base);
    out += suffix;
    if (!extension.empty()) (out += '.') += extension;
    return out;
  }
  if (extension.size() > kKeptExtension) {
    // Shorten the whole name instead; the extension goes with it.
    std::string whole(base);
    (whole += '.') += extension;
    std::string out(prefix(whole, SafeFileName::maximumBytes - suffix.size()));
    return out += suffix;
  }
  std::string out(prefix(base, SafeFileName::maximumBytes - tail));
  out += suffix;
  if (!extension.empty()) (out += '.') += extension;
  return out;
}

}  // namespace

std::pair<std::string_view, std::string_view> SafeFileName::splitExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {name, {}};
  return {name.substr(0, dot), name.substr(dot + 1)};
}

std::string SafeFileName::make(std::string_view offered) {
  // The last path component; slashes at the end don't count.
  std::string_view last = offered;
  while (last.size() > 1 && last.back() == '/') last.remove_suffix(1);
  if (auto slash = last.rfind('/'); slash != std::string_view::npos && last.size() > 1) {
    last = last.substr(slash + 1);
  }
  auto text = unicode::decodeUTF8(last);
  for (auto& c : text) {
    if (c == U'/' || c == U':') c = U'-';
  }
  std::size_t begin = 0, end = text.size();
  while (begin < end && trimmed(text[begin])) ++begin;
  while (end > begin && trimmed(text[end - 1])) --end;
  if (begin == end) return "File";
  // Control characters left inside (escape sequences, line breaks, NUL) would act on the
  // terminal of whoever lists the folder, or end the name early.
  for (auto i = begin; i < end; ++i) {
    if (text[i] < 0x20 || text[i] == 0x7F) text[i] = U'-';
  }
  const auto name = unicode::encodeUTF8(std::u32string_view(text).substr(begin, end - begin));
  if (name.size() <= maximumBytes) return name;
  auto [base, extension] = splitExtension(name);
  return fit(base, {}, extension);
}

std::string SafeFileName::numbered(std::string_view name, int n) {
  auto [base, extension] = splitExtension(name);
  return fit(base, " " + std::to_string(n), extension);
}

}  // namespace corvel::files
