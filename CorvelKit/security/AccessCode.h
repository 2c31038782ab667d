#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "CorvelKit/security/SecretBytes.h"

namespace corvel::security {

// The Mac's access code: 12 characters from an alphabet without look-alikes, shown in groups of
// three ("ABC-DEF-GHJ-KLM"), compared only in normalised form. Its 32-byte key, stretched with
// PBKDF2, is the transport's pre-shared key and goes into the session keys.
struct AccessCode {
  static constexpr std::string_view alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  static constexpr std::size_t length = 12;
  static constexpr std::string_view keySalt = "corvel.psk.v2";
  static constexpr unsigned keyIterations = 600'000;
  static constexpr std::size_t keySize = 32;

  // A new random code, in display form.
  static std::string generate();
  // Whitespace and "-" removed, ASCII letters upper-cased. Neither the alphabet nor the length
  // is checked.
  static std::string normalize(std::string_view code);
  // Characters (UTF-8 sequences) in a text: what "12 characters long" counts.
  static std::size_t characterCount(std::string_view text);
  // The normalised code in groups of three joined by "-".
  static std::string format(std::string_view code);
  // The derived key of a code, from the shared cache when it is there. Slow on a miss (PBKDF2 with
  // 600,000 iterations, on the caller's thread).
  static SecretBytes key(std::string_view code);
  // The derivation itself, without the cache.
  static SecretBytes deriveKey(std::string_view normalizedCode);
};

}  // namespace corvel::security
