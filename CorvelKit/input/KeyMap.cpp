#include "CorvelKit/input/KeyMap.h"

#include <array>
#include <map>

#include "CorvelKit/base/Unicode.h"

namespace corvel::input {

namespace {

struct Tables {
  std::map<int, std::uint16_t> hid;
  std::map<char32_t, std::uint16_t> characters;
};

void addRun(std::map<int, std::uint16_t>& table, int firstUsage,
            std::initializer_list<std::uint16_t> codes) {
  int usage = firstUsage;
  for (auto code : codes) table.emplace(usage++, code);
}

Tables makeTables() {
  Tables t;
  // Letters a–z.
  addRun(t.hid, 4, {0, 11, 8, 2, 14, 3, 5, 4, 34, 38, 40, 37, 46, 45, 31, 35, 12, 15, 1, 17, 32, 9,
                    13, 7, 16, 6});
  // Digits 1–9, 0.
  addRun(t.hid, 30, {18, 19, 20, 21, 23, 22, 26, 28, 25, 29});
  // Return, Escape, Backspace, Tab, Space, - = [ ] backslash.
  addRun(t.hid, 40, {36, 53, 51, 48, 49, 27, 24, 33, 30, 42});
  // ; ' ` , . / Caps Lock.
  addRun(t.hid, 51, {41, 39, 50, 43, 47, 44, 57});
  // F1–F12.
  addRun(t.hid, 58, {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111});
  // Home, Page Up, Forward Delete, End, Page Down, Right, Left, Down, Up.
  addRun(t.hid, 74, {115, 116, 117, 119, 121, 124, 123, 125, 126});
  // Left Control, Shift, Option, Command; Right Control, Shift, Option, Command.
  addRun(t.hid, 224, {59, 56, 58, 55, 62, 60, 61, 54});

  constexpr std::u32string_view letters = U"abcdefghijklmnopqrstuvwxyz";
  for (std::size_t i = 0; i < letters.size(); ++i) t.characters[letters[i]] = t.hid.at(4 + static_cast<int>(i));
  constexpr std::u32string_view digits = U"1234567890";
  for (std::size_t i = 0; i < digits.size(); ++i) t.characters[digits[i]] = t.hid.at(30 + static_cast<int>(i));
  constexpr std::array<std::pair<char32_t, std::uint16_t>, 12> punctuation = {{
      {U' ', 49}, {U'-', 27}, {U'=', 24}, {U'[', 33}, {U']', 30}, {U'\\', 42},
      {U';', 41}, {U'\'', 39}, {U'`', 50}, {U',', 43}, {U'.', 47}, {U'/', 44},
  }};
  for (auto [c, code] : punctuation) t.characters[c] = code;
  return t;
}

const Tables& tables() {
  static const Tables t = makeTables();
  return t;
}

// Lower-casing as far as it can reach the table: the characters whose lower case is ASCII are
// A–Z and the Kelvin sign.
char32_t lowercasedIntoTable(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c - U'A' + U'a';
  if (c == U'\u212A') return U'k';
  return c;
}

}  // namespace

std::optional<std::uint16_t> KeyMap::macCode(int hidUsage) {
  const auto& hid = tables().hid;
  auto it = hid.find(hidUsage);
  if (it == hid.end()) return std::nullopt;
  return it->second;
}

std::optional<std::uint16_t> KeyMap::macCode(char32_t character) {
  const auto& characters = tables().characters;
  auto it = characters.find(lowercasedIntoTable(character));
  if (it == characters.end()) return std::nullopt;
  return it->second;
}

std::optional<std::uint16_t> KeyMap::macCode(std::string_view character) {
  auto decoded = unicode::decodeUTF8(character);
  if (decoded.size() != 1) return std::nullopt;
  return macCode(decoded.front());
}

std::size_t KeyMap::hidTableSize() { return tables().hid.size(); }
std::size_t KeyMap::characterTableSize() { return tables().characters.size(); }

}  // namespace corvel::input
