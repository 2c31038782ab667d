#include "tests/support/FakeEventPoster.h"

#include <X11/Xlib.h>

#include "CorvelKit/base/Unicode.h"

namespace ambrel::test {

void FakeEventPoster::moveTo(int x, int y) {
  events.push_back("move " + std::to_string(x) + " " + std::to_string(y));
}

void FakeEventPoster::button(int xButton, bool down, int clickCount) {
  events.push_back("button " + std::to_string(xButton) + (down ? " down" : " up") + " click " +
                   std::to_string(clickCount));
}

void FakeEventPoster::key(std::uint32_t keysym, bool down) {
  const char* name = XKeysymToString(keysym);
  events.push_back(std::string("key ") + (name ? name : std::to_string(keysym)) + (down ? " down" : " up"));
}

void FakeEventPoster::typeText(std::u32string_view characters) {
  events.push_back("text " + corvel::unicode::encodeUTF8(characters));
  for (char32_t c : characters) {
    if (c > 0x7F) remapped = true;
  }
}

void FakeEventPoster::restoreKeyboardMapping() {
  events.emplace_back("restore");
  remapped = false;
}

std::vector<std::string> FakeEventPoster::take() {
  std::vector<std::string> taken;
  taken.swap(events);
  return taken;
}

}  // namespace ambrel::test
