#include "Ambrel_Host/wayland/PortalEventPoster.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <limits>

#include "Ambrel_Host/capture/DisplayAt.h"
#include "Ambrel_Host/input/KeySyms.h"
#include "Ambrel_Host/wayland/EvdevKeyCodes.h"
#include "Ambrel_Host/wayland/PortalSession.h"

namespace ambrel {

namespace {

int evdevButton(int xButton) {
  switch (xButton) {
    case EventPoster::leftButton: return BTN_LEFT;
    case EventPoster::middleButton: return BTN_MIDDLE;
    case EventPoster::rightButton: return BTN_RIGHT;
    case 8: return BTN_SIDE;
    case 9: return BTN_EXTRA;
    default: return 0;
  }
}

constexpr std::uint32_t released = 0;
constexpr std::uint32_t pressed = 1;

}  // namespace

PortalEventPoster::PortalEventPoster(std::shared_ptr<PortalSession> session) : session_(std::move(session)) {}

bool PortalEventPoster::isAvailable() const {
  return session_ && (session_->devices() & (PortalSession::keyboard | PortalSession::pointer)) != 0 &&
         !session_->isClosed();
}

DisplayBounds PortalEventPoster::screenBounds() const {
  if (!session_ || session_->streams().empty()) return {};
  int left = std::numeric_limits<int>::max(), top = std::numeric_limits<int>::max();
  int right = std::numeric_limits<int>::min(), bottom = std::numeric_limits<int>::min();
  for (const auto& s : session_->streams()) {
    left = std::min(left, s.display.x);
    top = std::min(top, s.display.y);
    right = std::max(right, s.display.x + s.display.width);
    bottom = std::max(bottom, s.display.y + s.display.height);
  }
  return {left, top, right - left, bottom - top};
}

void PortalEventPoster::moveTo(int x, int y) {
  if (!session_ || (session_->devices() & PortalSession::pointer) == 0) return;
  const auto& streams = session_->streams();
  const auto found = displayAt(streams.begin(), streams.end(), x, y);
  if (found == streams.end()) return;
  session_->notify("NotifyPointerMotionAbsolute", "udd", found->node, static_cast<double>(x - found->display.x),
                   static_cast<double>(y - found->display.y));
}

void PortalEventPoster::button(int xButton, bool down, int /*clickCount*/) {
  if (!session_ || (session_->devices() & PortalSession::pointer) == 0) return;
  // Wheel "buttons": one discrete step per press (axis 0 vertical, 1 horizontal; positive is down
  // or right).
  switch (xButton) {
    case wheelUp:
    case wheelDown:
    case wheelLeft:
    case wheelRight:
      if (down) {
        const std::uint32_t axis = xButton == wheelUp || xButton == wheelDown ? 0 : 1;
        const std::int32_t steps = xButton == wheelUp || xButton == wheelLeft ? -1 : 1;
        session_->notify("NotifyPointerAxisDiscrete", "ui", axis, steps);
      }
      return;
    default:
      break;
  }
  const int code = evdevButton(xButton);
  if (code == 0) return;
  session_->notify("NotifyPointerButton", "iu", static_cast<std::int32_t>(code), down ? pressed : released);
}

void PortalEventPoster::key(std::uint32_t keysym, bool down) {
  if (!session_ || (session_->devices() & PortalSession::keyboard) == 0) return;
  if (auto code = EvdevKeyCodes::forKeysym(keysym)) {
    session_->notify("NotifyKeyboardKeycode", "iu", static_cast<std::int32_t>(*code), down ? pressed : released);
  } else {
    this->keysym(keysym, down);
  }
}

void PortalEventPoster::keysym(std::uint32_t keysym, bool down) {
  session_->notify("NotifyKeyboardKeysym", "iu", static_cast<std::int32_t>(keysym), down ? pressed : released);
}

void PortalEventPoster::typeText(std::u32string_view characters) {
  if (!session_ || (session_->devices() & PortalSession::keyboard) == 0) return;
  for (const char32_t c : characters) {
    const auto sym = KeySyms::forCharacter(c);
    if (!sym) continue;
    keysym(*sym, true);
    keysym(*sym, false);
  }
}

void PortalEventPoster::flush() {
  if (session_) session_->flush();
}

}  // namespace ambrel
