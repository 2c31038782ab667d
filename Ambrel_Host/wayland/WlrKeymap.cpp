#include "Ambrel_Host/wayland/WlrKeymap.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>

namespace ambrel {

namespace {

// X clients (through Xwayland) see keycodes up to 255 only.
constexpr std::uint32_t kLastUsableKeycode = 255;

std::string keysymName(std::uint32_t keysym) {
  char name[64] = {};
  if (xkb_keysym_get_name(keysym, name, sizeof name) <= 0) return {};
  return name;
}

}  // namespace

void WlrKeymap::ContextFree::operator()(xkb_context* c) const { xkb_context_unref(c); }
void WlrKeymap::KeymapFree::operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }

WlrKeymap::WlrKeymap(WlrKeymap&&) noexcept = default;
WlrKeymap& WlrKeymap::operator=(WlrKeymap&&) noexcept = default;
WlrKeymap::~WlrKeymap() = default;

corvel::Expected<WlrKeymap, std::string> WlrKeymap::create(const std::string& layout, std::size_t spares) {
  WlrKeymap map;
  map.context_.reset(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
  if (!map.context_) return corvel::Unexpected{std::string("no xkbcommon context")};
  const xkb_rule_names names{"evdev", "pc105", layout.c_str(), "", ""};
  map.keymap_.reset(xkb_keymap_new_from_names(map.context_.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!map.keymap_) return corvel::Unexpected{"can't compile the keyboard layout \"" + layout + "\""};
  char* text = xkb_keymap_get_as_string(map.keymap_.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
  if (text == nullptr) return corvel::Unexpected{std::string("can't write the keymap out")};
  map.base_ = text;
  std::free(text);
  map.text_ = map.base_;

  // Named keys without symbols, from the top (the rarely used end) down.
  xkb_keymap* km = map.keymap_.get();
  const auto last = std::min<std::uint32_t>(xkb_keymap_max_keycode(km), kLastUsableKeycode);
  for (std::uint32_t code = last; code >= xkb_keymap_min_keycode(km) && map.spares_.size() < spares; --code) {
    const char* name = xkb_keymap_key_get_name(km, code);
    if (name == nullptr || xkb_keymap_num_layouts_for_key(km, code) != 0) continue;
    map.spares_.push_back(Spare{code, name});
  }
  return map;
}

std::optional<WlrKeymap::Key> WlrKeymap::find(std::uint32_t keysym) const {
  xkb_keymap* km = keymap_.get();
  std::optional<Key> found;
  // Keys past 255 (the layouts put a few multimedia symbols there) are out of X clients' reach.
  const auto last = std::min<std::uint32_t>(xkb_keymap_max_keycode(km), kLastUsableKeycode);
  for (std::uint32_t code = xkb_keymap_min_keycode(km); code <= last; ++code) {
    if (xkb_keymap_num_layouts_for_key(km, code) == 0) continue;
    const int levels = std::min<int>(2, static_cast<int>(xkb_keymap_num_levels_for_key(km, code, 0)));
    for (int level = 0; level < levels; ++level) {
      const xkb_keysym_t* syms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(km, code, 0, static_cast<xkb_level_index_t>(level), &syms);
      if (!std::any_of(syms, syms + std::max(count, 0), [&](xkb_keysym_t s) { return s == keysym; })) continue;
      if (level == 0) return Key{code, 0};
      if (!found) found = Key{code, level};
    }
  }
  return found;
}

bool WlrKeymap::assign(std::span<const std::uint32_t> keysyms, const std::set<std::uint32_t>& held) {
  std::set<std::uint32_t> taken;                      // spares this call hands out or keeps
  std::vector<std::pair<Spare*, std::uint32_t>> was;  // spares given a new keysym, and their old one
  for (const auto keysym : keysyms) {
    auto carrying = std::find_if(spares_.begin(), spares_.end(), [&](const Spare& s) { return s.keysym == keysym; });
    if (carrying != spares_.end()) {
      carrying->lastUse = ++uses_;
      taken.insert(carrying->keycode);
      continue;
    }
    if (find(keysym) || keysymName(keysym).empty()) continue;
    Spare* choice = nullptr;
    for (auto& s : spares_) {
      if (held.count(s.keycode) != 0 || taken.count(s.keycode) != 0) continue;
      if (choice == nullptr || s.lastUse < choice->lastUse) choice = &s;
    }
    if (choice == nullptr) continue;
    was.emplace_back(choice, choice->keysym);
    choice->keysym = keysym;
    choice->lastUse = ++uses_;
    taken.insert(choice->keycode);
  }
  if (was.empty()) return false;
  if (compile()) return true;
  // A keysym xkbcommon won't take: everything stays as it was.
  for (auto [spare, keysym] : was) spare->keysym = keysym;
  return false;
}

bool WlrKeymap::compile() {
  std::string symbols;
  for (const auto& s : spares_) {
    if (s.keysym == 0) continue;
    symbols += "\tkey <" + s.name + "> { [ " + keysymName(s.keysym) + " ] };\n";
  }
  // The spares' symbols go at the end of the symbols section.
  std::string text = base_;
  const auto section = text.find("xkb_symbols");
  const auto end = section == std::string::npos ? section : text.find("\n};", section);
  if (end == std::string::npos) return false;
  text.insert(end + 1, symbols);
  std::unique_ptr<xkb_keymap, KeymapFree> compiled(
      xkb_keymap_new_from_string(context_.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!compiled) return false;
  keymap_ = std::move(compiled);
  text_ = std::move(text);
  return true;
}

}  // namespace ambrel
