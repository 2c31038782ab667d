#include "Ambrel_Host/browser/HttpRequestHead.h"

#include <algorithm>
#include <vector>

namespace ambrel {

namespace {

// Strict UTF-8: no over-long forms, no surrogates, nothing past U+10FFFF, no truncated sequence.
bool isUTF8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2, value = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, value = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, value = c & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      value = (value << 6) | (d & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    const auto end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view blanks = " \t";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

std::string lowerASCII(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

}  // namespace

std::optional<std::size_t> HttpRequestHead::findEnd(corvel::ByteView buffer) {
  const auto text = corvel::asString(buffer);
  const auto at = text.find("\r\n\r\n");
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}

std::optional<HttpRequestHead> HttpRequestHead::parse(std::string_view head) {
  if (!isUTF8(head)) return std::nullopt;
  HttpRequestHead result;
  const auto lines = splitLines(head);

  // The request line, split at spaces with empty pieces dropped.
  std::vector<std::string_view> pieces;
  {
    std::string_view line = lines.front();
    std::size_t start = 0;
    while (start <= line.size()) {
      auto end = line.find(' ', start);
      if (end == std::string_view::npos) end = line.size();
      if (end > start) pieces.push_back(line.substr(start, end - start));
      start = end + 1;
    }
  }
  if (pieces.size() >= 2) {
    result.method = pieces[0];
    result.target = pieces[1];
    result.path = result.target.substr(0, result.target.find('?'));
  } else if (pieces.size() == 1) {
    result.method = pieces[0];
  }

  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto line = lines[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    result.headers.insert_or_assign(lowerASCII(line.substr(0, colon)),
                                    std::string(trim(line.substr(colon + 1))));
  }
  return result;
}

std::string_view HttpRequestHead::query() const {
  const auto mark = target.find('?');
  if (mark == std::string::npos) return {};
  return std::string_view(target).substr(mark + 1);
}

const std::string* HttpRequestHead::header(std::string_view lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? nullptr : &it->second;
}

}  // namespace ambrel
