#include "Ambrel_Host/overlays/CurtainShortcut.h"

#include <cstdint>
#include <optional>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <xcb/xcb.h>
#include <xcb/xproto.h>

#include "Ambrel_Host/capture/XcbHandles.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("overlays"); }

constexpr std::uint32_t kPeriodKeysym = 0x2e;
constexpr std::uint16_t kWanted = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;  // Ctrl, Alt, Super
// Caps Lock and Num Lock (Mod2 on every common layout) don't change what was pressed.
constexpr std::uint16_t kIgnored = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2;

std::optional<xcb_keycode_t> periodKey(xcb_connection_t* c) {
  const auto* setup = xcb_get_setup(c);
  const int first = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;
  XcbReply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
      c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<std::uint8_t>(count)), nullptr));
  if (!map || map->keysyms_per_keycode == 0) return std::nullopt;
  const auto* syms = xcb_get_keyboard_mapping_keysyms(map.get());
  for (int k = 0; k < count; ++k) {
    // The unshifted symbol: the period key itself, not a key that gives "." with Shift.
    if (syms[k * map->keysyms_per_keycode] == kPeriodKeysym) return static_cast<xcb_keycode_t>(first + k);
  }
  return std::nullopt;
}

}  // namespace

struct CurtainShortcut::State : std::enable_shared_from_this<CurtainShortcut::State> {
  XcbScreen screen;
  xcb_keycode_t key = 0;
  std::function<void()> pressed;
  std::unique_ptr<boost::asio::posix::stream_descriptor> socket;

  void wait() {
    socket->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                       [weak = weak_from_this()](const boost::system::error_code& ec) {
                         auto self = weak.lock();
                         if (!self || ec) return;
                         self->drain();
                       });
  }

  void drain() {
    auto* c = screen.connection.get();
    bool hit = false;
    while (auto* raw = xcb_poll_for_event(c)) {
      XcbReply<xcb_generic_event_t> event(raw);
      if ((event->response_type & 0x7f) != XCB_KEY_PRESS) continue;
      const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
      if (press->detail == key && (press->state & ~kIgnored & 0xff) == kWanted) hit = true;
    }
    if (xcb_connection_has_error(c) != 0) {
      log().warn("curtain shortcut: the display connection broke");
      return;
    }
    wait();
    if (hit && pressed) pressed();
  }
};

std::unique_ptr<CurtainShortcut> CurtainShortcut::create(corvel::Executor executor, const std::string& displayName,
                                                         std::function<void()> pressed) {
  auto connected = connectToX(displayName);
  if (!connected) return nullptr;
  auto state = std::make_shared<State>();
  state->screen = std::move(*connected);
  auto* c = state->screen.connection.get();
  auto key = periodKey(c);
  if (!key) {
    log().warn("curtain shortcut: no period key on this keyboard");
    return nullptr;
  }
  state->key = *key;
  const std::uint16_t extras[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
  for (std::uint16_t extra : extras) {
    XcbReply<xcb_generic_error_t> error(xcb_request_check(
        c, xcb_grab_key_checked(c, 1, state->screen.root, static_cast<std::uint16_t>(kWanted | extra), *key,
                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
    if (error) log().warn("curtain shortcut: another program holds it");
  }
  state->pressed = std::move(pressed);
  state->socket = std::make_unique<boost::asio::posix::stream_descriptor>(executor, xcb_get_file_descriptor(c));
  state->wait();
  return std::unique_ptr<CurtainShortcut>(new CurtainShortcut(std::move(state)));
}

CurtainShortcut::CurtainShortcut(std::shared_ptr<State> state) : state_(std::move(state)) {}

CurtainShortcut::~CurtainShortcut() {
  // The descriptor is XCB's: stop waiting on it without closing it.
  state_->socket->cancel();
  (void)state_->socket->release();
  state_->socket.reset();
  auto* c = state_->screen.connection.get();
  xcb_ungrab_key(c, XCB_GRAB_ANY, state_->screen.root, XCB_MOD_MASK_ANY);
  xcb_flush(c);
}

}  // namespace ambrel
