#include "CorvelKit/security/AccessCode.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "CorvelKit/security/AccessKeyCache.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/RandomBytes.h"

namespace corvel::security {

namespace {

static_assert(AccessCode::alphabet.size() == 32, "one random byte's low 5 bits pick a character");

// Length in bytes of the UTF-8 sequence that starts with `lead` (1 for anything malformed, so
// that every byte is visited once).
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  return 1;
}

// Whether the UTF-8 sequence `s` is a whitespace character: ASCII whitespace and the Unicode
// space separators, line and paragraph separators.
bool isWhitespace(std::string_view s) {
  if (s.size() == 1) {
    const char c = s[0];
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }
  static constexpr std::array<std::string_view, 19> unicodeSpaces = {
      "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
      "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
      "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
  for (auto space : unicodeSpaces) {
    if (s == space) return true;
  }
  return false;
}

template <class F>
void forEachCharacter(std::string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n =
        std::min(sequenceLength(static_cast<unsigned char>(text[i])), text.size() - i);
    f(text.substr(i, n));
    i += n;
  }
}

}  // namespace

std::string AccessCode::generate() {
  std::array<std::uint8_t, length> random{};
  fillRandom(random);
  std::string code;
  code.reserve(length);
  for (std::uint8_t r : random) code.push_back(alphabet[r & 0x1F]);  // 256 = 8 × 32: unbiased
  secureWipe(random.data(), random.size());
  std::string display = format(code);
  secureWipe(code.data(), code.size());
  return display;
}

std::string AccessCode::normalize(std::string_view code) {
  std::string out;
  out.reserve(code.size());
  forEachCharacter(code, [&](std::string_view c) {
    if (c == "-" || isWhitespace(c)) return;
    if (c.size() == 1 && c[0] >= 'a' && c[0] <= 'z') {
      out.push_back(static_cast<char>(c[0] - 'a' + 'A'));
    } else {
      out.append(c);
    }
  });
  return out;
}

std::size_t AccessCode::characterCount(std::string_view text) {
  std::size_t n = 0;
  forEachCharacter(text, [&](std::string_view) { ++n; });
  return n;
}

std::string AccessCode::format(std::string_view code) {
  const std::string normalized = normalize(code);
  std::string out;
  out.reserve(normalized.size() + normalized.size() / 3);
  std::size_t index = 0;
  forEachCharacter(normalized, [&](std::string_view c) {
    if (index > 0 && index % 3 == 0) out.push_back('-');
    out.append(c);
    ++index;
  });
  return out;
}

SecretBytes AccessCode::deriveKey(std::string_view normalizedCode) {
  return crypto::pbkdf2Sha256(asBytes(normalizedCode), asBytes(keySalt), keyIterations, keySize);
}

SecretBytes AccessCode::key(std::string_view code) {
  std::string normalized = normalize(code);
  auto& cache = AccessKeyCache::shared();
  if (auto cached = cache.key(normalized)) {
    secureWipe(normalized.data(), normalized.size());
    return std::move(*cached);
  }
  // The slow part runs without the cache's lock; two threads may derive the same key at once,
  // and the second store overwrites the first with an equal key.
  SecretBytes derived = deriveKey(normalized);
  cache.store(derived, normalized);
  secureWipe(normalized.data(), normalized.size());
  return derived;
}

}  // namespace corvel::security
