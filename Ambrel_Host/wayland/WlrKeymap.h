#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "CorvelKit/base/Expected.h"

struct xkb_context;
struct xkb_keymap;

namespace ambrel {

// The keymap a virtual keyboard sends: an XKB layout compiled by xkbcommon, plus spare keycodes
// (ones with no symbols in the layout) that take characters the layout lacks. Keycodes are XKB's
// (evdev + 8). Spares are handed out least recently used first and keep their character until
// one is needed again, so the keymap changes only when text brings a character not seen before.
class WlrKeymap {
 public:
  struct Key {
    std::uint32_t keycode = 0;
    int level = 0;  // 0: the key alone, 1: with Shift
    friend bool operator==(const Key&, const Key&) = default;
  };

  // `layout` of the evdev rules ("us"); `spares` keycodes at most are set aside (only from the
  // ones X clients can use, up to 255).
  [[nodiscard]] static corvel::Expected<WlrKeymap, std::string> create(const std::string& layout = "us",
                                                                      std::size_t spares = 16);
  WlrKeymap(WlrKeymap&&) noexcept;
  WlrKeymap& operator=(WlrKeymap&&) noexcept;
  ~WlrKeymap();

  // The key (up to 255) that types `keysym`: the base level preferred, then the shifted one.
  std::optional<Key> find(std::uint32_t keysym) const;
  // Gives every keysym of `keysyms` that no key carries a spare keycode, leaving alone spares in
  // `held` and those the same call hands out. True when the keymap changed (and must be sent
  // again); keysyms that found no free spare stay without a key.
  bool assign(std::span<const std::uint32_t> keysyms, const std::set<std::uint32_t>& held = {});

  // The keymap as XKB text, NUL not included.
  const std::string& text() const { return text_; }
  // The compiled keymap (for an xkb_state that follows the keys pressed).
  xkb_keymap* keymap() const { return keymap_.get(); }
  std::size_t spareCount() const { return spares_.size(); }

 private:
  struct ContextFree {
    void operator()(xkb_context* c) const;
  };
  struct KeymapFree {
    void operator()(xkb_keymap* k) const;
  };
  struct Spare {
    std::uint32_t keycode = 0;
    std::string name;          // the key's name in the keymap (<I248>)
    std::uint32_t keysym = 0;  // what it carries; 0: nothing yet
    std::uint64_t lastUse = 0;
  };

  WlrKeymap() = default;
  [[nodiscard]] bool compile();

  std::unique_ptr<xkb_context, ContextFree> context_;
  std::unique_ptr<xkb_keymap, KeymapFree> keymap_;
  std::string base_;  // the layout's own text
  std::string text_;  // with the spares' symbols
  std::vector<Spare> spares_;
  std::uint64_t uses_ = 0;
};

}  // namespace ambrel
