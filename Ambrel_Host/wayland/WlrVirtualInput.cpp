#include "Ambrel_Host/wayland/WlrVirtualInput.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <vector>

#include "Ambrel_Host/input/EventPoster.h"
#include "Ambrel_Host/input/KeySyms.h"
#include "Ambrel_Host/wayland/WaylandConnection.h"
#include "Ambrel_Host/wayland/WaylandOutputs.h"
#include "Ambrel_Host/wayland/WlrKeymap.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace ambrel {

namespace {

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("input");
  return logger;
}

// One wheel step, in the surface pixels a mouse wheel's click is worth to most toolkits.
constexpr double kWheelStep = 15.0;

std::uint32_t milliseconds() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

struct WlrVirtualInput::Impl {
  std::unique_ptr<WaylandConnection> connection;
  std::unique_ptr<WaylandOutputs> outputs;
  wl_seat* seat = nullptr;
  zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
  zwlr_virtual_pointer_v1* pointer = nullptr;
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  WlrKeymap keymap;
  struct StateFree {
    void operator()(xkb_state* s) const { xkb_state_unref(s); }
  };
  std::unique_ptr<xkb_state, StateFree> state;
  std::uint32_t sentMods[4] = {};
  std::map<std::uint32_t, std::uint32_t> heldKeys;  // keysym → keycode pressed by key()
  std::set<int> heldButtons;
  bool broken = false;

  explicit Impl(WlrKeymap map) : keymap(std::move(map)) {}

  ~Impl() {
    if (!broken && keyboard != nullptr) {
      // Nothing stays down.
      for (auto [keysym, code] : heldKeys) press(code, false);
      for (int b : heldButtons) button(b, false);
      (void)connection->roundtrip();
    }
    if (pointer != nullptr) zwlr_virtual_pointer_v1_destroy(pointer);
    if (keyboard != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard);
    if (pointerManager != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
    if (keyboardManager != nullptr) zwp_virtual_keyboard_manager_v1_destroy(keyboardManager);
    if (seat != nullptr) wl_seat_destroy(seat);
    outputs.reset();
    if (connection) (void)connection->flush();
  }

  bool usable() const { return !broken && pointer != nullptr && keyboard != nullptr; }

  bool sendKeymap() {
    const auto& text = keymap.text();
    corvel::UniqueFd fd(::memfd_create("ambrel-keymap", MFD_CLOEXEC));
    if (!fd || ::write(fd.get(), text.c_str(), text.size() + 1) != static_cast<ssize_t>(text.size() + 1)) {
      log().error("couldn't write the keymap for the virtual keyboard");
      return false;
    }
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd.get(),
                                   static_cast<std::uint32_t>(text.size() + 1));
    // The keys still down keep their modifiers under the new map.
    state.reset(xkb_state_new(keymap.keymap()));
    for (auto [keysym, code] : heldKeys) xkb_state_update_key(state.get(), code, XKB_KEY_DOWN);
    std::fill(std::begin(sentMods), std::end(sentMods), ~0u);
    sendModifiers();
    return true;
  }

  // The compositor takes a virtual keyboard's modifier state from what it is told, not from the
  // keys: the state follows every key sent.
  void sendModifiers() {
    const std::uint32_t mods[4] = {xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED),
                                   xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_LATCHED),
                                   xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_LOCKED),
                                   xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE)};
    if (std::equal(std::begin(mods), std::end(mods), std::begin(sentMods))) return;
    std::copy(std::begin(mods), std::end(mods), std::begin(sentMods));
    zwp_virtual_keyboard_v1_modifiers(keyboard, mods[0], mods[1], mods[2], mods[3]);
  }

  void press(std::uint32_t keycode, bool down) {
    zwp_virtual_keyboard_v1_key(keyboard, milliseconds(), keycode - 8,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(state.get(), keycode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    sendModifiers();
  }
  void tap(std::uint32_t keycode) {
    press(keycode, true);
    press(keycode, false);
  }

  std::set<std::uint32_t> heldKeycodes() const {
    std::set<std::uint32_t> codes;
    for (auto [keysym, code] : heldKeys) codes.insert(code);
    return codes;
  }
  // A key for each keysym, spares given out (and the keymap sent again) for those the layout lacks.
  void prepare(std::span<const std::uint32_t> keysyms) {
    if (keymap.assign(keysyms, heldKeycodes())) (void)sendKeymap();
  }

  void button(int xButton, bool down) {
    const auto time = milliseconds();
    if (xButton >= EventPoster::wheelUp && xButton <= EventPoster::wheelRight) {
      if (!down) return;
      const bool vertical = xButton <= EventPoster::wheelDown;
      const int step = (xButton == EventPoster::wheelUp || xButton == EventPoster::wheelLeft) ? -1 : 1;
      const auto axis = vertical ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
      zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
      zwlr_virtual_pointer_v1_axis_discrete(pointer, time, axis, wl_fixed_from_double(step * kWheelStep), step);
      zwlr_virtual_pointer_v1_frame(pointer);
      return;
    }
    std::uint32_t code = 0;
    switch (xButton) {
      case EventPoster::leftButton: code = BTN_LEFT; break;
      case EventPoster::middleButton: code = BTN_MIDDLE; break;
      case EventPoster::rightButton: code = BTN_RIGHT; break;
      case 8: code = BTN_SIDE; break;
      case 9: code = BTN_EXTRA; break;
      default: return;
    }
    zwlr_virtual_pointer_v1_button(pointer, time, code,
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
    if (down) {
      heldButtons.insert(xButton);
    } else {
      heldButtons.erase(xButton);
    }
  }

  DisplayBounds bounds() const {
    const auto displays = outputs->displays();
    if (displays.empty()) return {};
    int left = displays.front().x, top = displays.front().y;
    int right = left + displays.front().width, bottom = top + displays.front().height;
    for (const auto& d : displays) {
      left = std::min(left, d.x);
      top = std::min(top, d.y);
      right = std::max(right, d.x + d.width);
      bottom = std::max(bottom, d.y + d.height);
    }
    return {left, top, right - left, bottom - top};
  }

  void check() {
    if (broken || !connection->error()) return;
    broken = true;
    log().error("lost the compositor connection; remote input goes nowhere");
  }
};

corvel::Expected<std::shared_ptr<WlrVirtualInput>, std::string> WlrVirtualInput::open(const std::string& display) {
  auto keymap = WlrKeymap::create();
  if (!keymap) return corvel::Unexpected{keymap.error()};
  auto connection = WaylandConnection::open(display);
  if (!connection) return corvel::Unexpected{"can't reach the compositor: " + connection.error().message()};
  auto impl = std::make_unique<Impl>(std::move(*keymap));
  impl->connection = std::move(*connection);
  auto& c = *impl->connection;
  impl->outputs = std::make_unique<WaylandOutputs>(c);
  impl->seat = static_cast<wl_seat*>(c.bindFirst(&wl_seat_interface, 1));
  impl->pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
      c.bindFirst(&zwlr_virtual_pointer_manager_v1_interface, 1));
  impl->keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
      c.bindFirst(&zwp_virtual_keyboard_manager_v1_interface, 1));
  if (impl->seat == nullptr) return corvel::Unexpected{std::string("the compositor has no seat")};
  if (impl->pointerManager == nullptr) return corvel::Unexpected{std::string("the compositor offers no virtual pointer")};
  if (impl->keyboardManager == nullptr) {
    return corvel::Unexpected{std::string("the compositor offers no virtual keyboard")};
  }
  impl->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(impl->pointerManager, impl->seat);
  impl->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(impl->keyboardManager, impl->seat);
  if (!impl->sendKeymap()) return corvel::Unexpected{std::string("couldn't send the keymap")};
  if (!c.roundtrip() || !c.roundtrip()) {
    return corvel::Unexpected{"the compositor refused the virtual devices: " + c.error().message()};
  }
  log().info("virtual pointer and keyboard ready, {} spare keycodes", impl->keymap.spareCount());
  return std::shared_ptr<WlrVirtualInput>(new WlrVirtualInput(std::move(impl)));
}

WlrVirtualInput::WlrVirtualInput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WlrVirtualInput::~WlrVirtualInput() = default;

bool WlrVirtualInput::isAvailable() {
  std::lock_guard lock(mutex_);
  return impl_->usable();
}

DisplayBounds WlrVirtualInput::screenBounds() {
  std::lock_guard lock(mutex_);
  if (impl_->broken) return {};
  return impl_->bounds();
}

void WlrVirtualInput::moveTo(int x, int y) {
  std::lock_guard lock(mutex_);
  auto& d = *impl_;
  if (!d.usable()) return;
  const auto area = d.bounds();
  if (area.isEmpty()) return;
  // Absolute motion is a fraction of the extent given, over the whole layout.
  const auto px = static_cast<std::uint32_t>(std::clamp(x - area.x, 0, area.width - 1));
  const auto py = static_cast<std::uint32_t>(std::clamp(y - area.y, 0, area.height - 1));
  zwlr_virtual_pointer_v1_motion_absolute(d.pointer, milliseconds(), px, py, static_cast<std::uint32_t>(area.width),
                                          static_cast<std::uint32_t>(area.height));
  zwlr_virtual_pointer_v1_frame(d.pointer);
}

void WlrVirtualInput::button(int xButton, bool down) {
  std::lock_guard lock(mutex_);
  if (!impl_->usable()) return;
  impl_->button(xButton, down);
}

void WlrVirtualInput::key(std::uint32_t keysym, bool down) {
  std::lock_guard lock(mutex_);
  auto& d = *impl_;
  if (!d.usable()) return;
  std::uint32_t code = 0;
  if (auto held = d.heldKeys.find(keysym); held != d.heldKeys.end()) {
    code = held->second;  // a repeat, or the release: the keycode it went down on
    if (!down) d.heldKeys.erase(held);
  } else {
    auto found = d.keymap.find(keysym);
    if (!found || found->level != 0) {
      const std::uint32_t one[] = {keysym};
      d.prepare(one);
      found = d.keymap.find(keysym);
    }
    if (!found || found->level != 0) {
      log().warn("no key for keysym {:#x}", keysym);
      return;
    }
    code = found->keycode;
    if (down) d.heldKeys.emplace(keysym, code);
  }
  d.press(code, down);
}

void WlrVirtualInput::typeText(std::u32string_view characters) {
  std::lock_guard lock(mutex_);
  auto& d = *impl_;
  if (!d.usable()) return;
  std::vector<std::uint32_t> keysyms;
  for (char32_t c : characters) {
    if (auto keysym = KeySyms::forCharacter(c)) keysyms.push_back(*keysym);
  }
  // Characters the layout lacks get their keys first: one keymap for the whole text.
  d.prepare(keysyms);
  const auto shift = d.keymap.find(XKB_KEY_Shift_L);
  for (auto keysym : keysyms) {
    auto found = d.keymap.find(keysym);
    if (!found) {
      log().warn("no key for keysym {:#x}", keysym);
      continue;
    }
    // Whatever the modifiers are now, the key gives the character as it is, or with Shift.
    if (xkb_state_key_get_one_sym(d.state.get(), found->keycode) == keysym) {
      d.tap(found->keycode);
      continue;
    }
    if (found->level == 1 && shift) {
      d.press(shift->keycode, true);
      d.tap(found->keycode);
      d.press(shift->keycode, false);
      continue;
    }
    d.tap(found->keycode);
  }
}

void WlrVirtualInput::flush() {
  std::lock_guard lock(mutex_);
  auto& d = *impl_;
  if (d.broken) return;
  if (!d.connection->flush()) d.check();
}

}  // namespace ambrel
