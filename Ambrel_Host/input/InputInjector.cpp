#include "Ambrel_Host/input/InputInjector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Ambrel_Host/input/DoubleClickInterval.h"
#include "Ambrel_Host/input/EventPoster.h"
#include "Ambrel_Host/input/KeySyms.h"
#include "Ambrel_Host/input/XTestEventPoster.h"
#include "Ambrel_Host/wayland/WaylandDesktopSwitch.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Unicode.h"
#include "CorvelKit/input/ModifierKeys.h"

namespace ambrel {

using corvel::input::ModifierKeys;
using corvel::protocol::InputEvent;
using corvel::protocol::MouseButton;

namespace {

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("input");
  return logger;
}

bool finite(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

// A wheel amount rounded to whole pixels (halves away from zero), kept within a signed 32-bit
// integer.
double wheelPixels(double value) {
  constexpr double lo = std::numeric_limits<std::int32_t>::min();
  constexpr double hi = std::numeric_limits<std::int32_t>::max();
  return std::clamp(std::round(value), lo, hi);
}

// The first phase number of a scroll gesture (the platform's "began").
constexpr std::int64_t scrollPhaseBegan = 1;

}  // namespace

std::shared_ptr<InputInjector> InputInjector::create(std::unique_ptr<EventPoster> poster,
                                                     Options options) {
  return std::shared_ptr<InputInjector>(new InputInjector(std::move(poster), std::move(options)));
}

std::shared_ptr<InputInjector> InputInjector::createForX11(const std::string& displayName) {
  if (const auto* wayland = WaylandDesktopSwitch::chosen()) return create(wayland->eventPoster(), {});
  auto poster = std::make_unique<XTestEventPoster>(displayName);
  Options options;
  auto resource = poster->resource("multiClickTime", "MultiClickTime");
  options.doubleClickInterval = DoubleClickInterval::choose(
      resource ? std::optional<std::string_view>(*resource) : std::nullopt,
      DoubleClickInterval::gtkSettingsFiles());
  log().info("double-click interval {} ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                                               options.doubleClickInterval).count());
  return create(std::move(poster), std::move(options));
}

InputInjector::InputInjector(std::unique_ptr<EventPoster> poster, Options options)
    : queue_("corvel.input", std::move(options.executor)),
      clock_(std::move(options.clock)),
      poster_(std::move(poster)),
      trusted_(poster_->isAvailable()),
      display_(options.display.isEmpty() ? poster_->screenBounds() : options.display),
      clicks_(options.doubleClickInterval) {
  if (display_.isEmpty()) display_ = DisplayBounds{0, 0, 1, 1};
  log().info("input injector on {}×{} at ({}, {}), trusted={}", display_.width, display_.height,
             display_.x, display_.y, trusted_);
}

InputInjector::~InputInjector() = default;

// ---- Entry points -------------------------------------------------------------------------------

template <class Work>
void InputInjector::enqueue(Work work) {
  queue_.post([weak = weak_from_this(), work = std::move(work)]() mutable {
    if (auto self = weak.lock()) work(*self);
  });
}

void InputInjector::inject(InputEvent event) {
  enqueue([event = std::move(event)](InputInjector& self) { self.apply(event); });
}

void InputInjector::inject(InputEvent event, DisplayBounds display) {
  enqueue([event = std::move(event), display](InputInjector& self) {
    self.switchDisplay(display);
    self.apply(event);
  });
}

void InputInjector::setDisplay(DisplayBounds display) {
  enqueue([display](InputInjector& self) { self.switchDisplay(display); });
}

void InputInjector::releaseAll() {
  enqueue([](InputInjector& self) { self.releaseEverything(); });
}

// ---- On the queue -------------------------------------------------------------------------------

void InputInjector::apply(const InputEvent& event) {
  std::visit(
      [this](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, InputEvent::MouseMove>) {
          mouseMove(e);
        } else if constexpr (std::is_same_v<T, InputEvent::MouseButtonChange>) {
          mouseButton(e);
        } else if constexpr (std::is_same_v<T, InputEvent::Scroll>) {
          scroll(e.dx, e.dy);
        } else if constexpr (std::is_same_v<T, InputEvent::SmoothScroll>) {
          smoothScroll(e);
        } else if constexpr (std::is_same_v<T, InputEvent::MouseDelta>) {
          mouseDelta(e);
        } else if constexpr (std::is_same_v<T, InputEvent::Key>) {
          key(e);
        } else {
          static_assert(std::is_same_v<T, InputEvent::Text>);
          text(e.text);
        }
      },
      event);
  poster_->flush();
}

void InputInjector::switchDisplay(DisplayBounds display) {
  if (display.isEmpty()) {
    log().warn("ignoring an empty display {}×{}", display.width, display.height);
    return;
  }
  display_ = display;
  if (hasPointer_ && (lastPoint_.x < display.minX() - 1 || lastPoint_.x > display.maxX() + 1 ||
                      lastPoint_.y < display.minY() - 1 || lastPoint_.y > display.maxY() + 1)) {
    lastPoint_ = display.centre();
  }
}

void InputInjector::mouseMove(const InputEvent::MouseMove& e) {
  if (!finite(e.x, e.y)) return;
  lastPoint_ = mapPosition(e.x, e.y);
  hasPointer_ = true;
  movePointerTo(lastPoint_);
}

void InputInjector::mouseButton(const InputEvent::MouseButtonChange& e) {
  if (!finite(e.x, e.y)) return;
  bool positioned = e.x >= 0 && e.y >= 0;
  if (positioned) {
    lastPoint_ = mapPosition(e.x, e.y);
    hasPointer_ = true;
    movePointerTo(lastPoint_);
  }
  int count = 0;
  if (e.down) {
    pressed_.insert(e.button);
    count = clicks_.press(e.button, lastPoint_, clock_->now());
  } else {
    pressed_.erase(e.button);
    count = clicks_.releaseCount();
  }
  withModifiers(latch_.flags(), 0, [&] { postButton(e.button, e.down, count); });
}

// A wheel scroll counts wheel steps: each amount is rounded (halves away from zero) and becomes
// that many notches at once, at most the per-event cap. Only smooth scrolling carries pixels.
void InputInjector::scroll(double dx, double dy) {
  if (!finite(dx, dy)) return;
  auto steps = [](double value) {
    constexpr double cap = ScrollAccumulator::maxStepsPerEvent;
    return static_cast<int>(std::clamp(wheelPixels(value), -cap, cap));
  };
  postWheel(steps(dy), EventPoster::wheelUp, EventPoster::wheelDown);
  postWheel(steps(dx), EventPoster::wheelLeft, EventPoster::wheelRight);
}

void InputInjector::smoothScroll(const InputEvent::SmoothScroll& e) {
  if (!finite(e.dx, e.dy)) return;
  if (e.phase == scrollPhaseBegan) {
    wheelVertical_.reset();
    wheelHorizontal_.reset();
  }
  postWheel(wheelVertical_.add(e.dy), EventPoster::wheelUp, EventPoster::wheelDown);
  postWheel(wheelHorizontal_.add(e.dx), EventPoster::wheelLeft, EventPoster::wheelRight);
}

void InputInjector::mouseDelta(const InputEvent::MouseDelta& e) {
  if (!finite(e.dx, e.dy)) return;
  DisplayPoint start = hasPointer_ ? lastPoint_ : display_.centre();
  hasPointer_ = true;
  lastPoint_ = {std::clamp(start.x + e.dx, display_.minX(), display_.maxX() - 1),
                std::clamp(start.y + e.dy, display_.minY(), display_.maxY() - 1)};
  movePointerTo(lastPoint_);
}

void InputInjector::key(const InputEvent::Key& e) {
  // Debug only: key codes in a kept log would record what the remote user types.
  log().debug("key {} {} flags {:x} trusted={}", e.code, e.down ? "down" : "up", e.flags, trusted_);
  latch_.apply(e.code, e.down, e.flags);
  auto keysym = KeySyms::forVirtualKey(e.code);
  if (!keysym) {
    log().debug("key {} has no keysym; not posted", e.code);
    return;
  }
  if (e.down) {
    // The X server repeats a held key itself, at the desktop's own rate; posting the client's
    // repeats as well would double it.
    if (!pressedKeys_.insert(e.code).second) return;
  } else {
    pressedKeys_.erase(e.code);
  }
  withModifiers(e.flags, ModifierKeys::forVirtualKey(e.code).value_or(0),
                [&] { poster_->key(*keysym, e.down); });
  scheduleKeyboardRestore();
}

void InputInjector::text(const std::string& text) {
  auto characters = corvel::unicode::decodeUTF8(text);
  log().debug("text {} characters trusted={}", characters.size(), trusted_);
  if (characters.empty()) return;

  // Chunk k holds the characters whose last UTF-16 unit falls in units [20k, 20k + 20).
  std::size_t units = 0;
  std::size_t chunkStart = 0;
  std::size_t chunkIndex = 0;
  std::size_t end = 0;
  for (; end < characters.size(); ++end) {
    std::size_t length = corvel::unicode::utf16Length(characters[end]);
    if (units + length > maxTextUnits) {
      log().warn("text of more than {} UTF-16 units cut there", maxTextUnits);
      break;
    }
    units += length;
    std::size_t index = (units - 1) / textChunkUnits;
    if (index != chunkIndex) {
      poster_->typeText(std::u32string_view(characters).substr(chunkStart, end - chunkStart));
      chunkStart = end;
      chunkIndex = index;
    }
  }
  if (end > chunkStart) {
    poster_->typeText(std::u32string_view(characters).substr(chunkStart, end - chunkStart));
  }
  scheduleKeyboardRestore();
}

void InputInjector::releaseEverything() {
  for (auto button : pressed_) {
    withModifiers(latch_.flags(), 0, [&] { postButton(button, false, clicks_.releaseCount()); });
  }
  pressed_.clear();
  for (auto code : pressedKeys_) {
    if (auto keysym = KeySyms::forVirtualKey(code)) poster_->key(*keysym, false);
  }
  pressedKeys_.clear();
  latch_ = {};
  wheelVertical_.reset();
  wheelHorizontal_.reset();
  poster_->flush();
  scheduleKeyboardRestore();
}

// ---- Helpers ------------------------------------------------------------------------------------

DisplayPoint InputInjector::mapPosition(double x, double y) const {
  x = std::clamp(x, 0.0, 1.0);
  y = std::clamp(y, 0.0, 1.0);
  return {display_.minX() + x * display_.width, display_.minY() + y * display_.height};
}

void InputInjector::movePointerTo(DisplayPoint point) {
  // Points are pixels here; the right and bottom edges (x = 1, y = 1) are the last pixel.
  auto pixel = [](double v, int lo, int size) {
    return static_cast<int>(std::clamp(std::floor(v), static_cast<double>(lo),
                                       static_cast<double>(lo) + size - 1));
  };
  poster_->moveTo(pixel(point.x, display_.x, display_.width),
                  pixel(point.y, display_.y, display_.height));
}

void InputInjector::postButton(MouseButton button, bool down, int clickCount) {
  int xButton = EventPoster::leftButton;
  if (button == MouseButton::right) xButton = EventPoster::rightButton;
  if (button == MouseButton::middle) xButton = EventPoster::middleButton;
  poster_->button(xButton, down, clickCount);
}

void InputInjector::postWheel(int steps, int positiveButton, int negativeButton) {
  int xButton = steps > 0 ? positiveButton : negativeButton;
  for (int i = 0; i < std::abs(steps); ++i) {
    poster_->button(xButton, true, 1);
    poster_->button(xButton, false, 1);
  }
}

template <class Post>
void InputInjector::withModifiers(std::uint64_t flags, std::uint64_t ownFlag, Post post) {
  auto helpers = ModifierKeys::virtualKeyCodes(flags & ~heldModifierFlags() & ~ownFlag);
  for (auto code : helpers) poster_->key(*KeySyms::forVirtualKey(code), true);
  post();
  for (auto i = helpers.size(); i-- > 0;) poster_->key(*KeySyms::forVirtualKey(helpers[i]), false);
}

std::uint64_t InputInjector::heldModifierFlags() const {
  std::uint64_t flags = 0;
  for (auto code : pressedKeys_) flags |= ModifierKeys::forVirtualKey(code).value_or(0);
  return flags;
}

void InputInjector::scheduleKeyboardRestore() {
  lastKeyboardUse_ = clock_->now();
  if (restoreTimer_ || !poster_->hasRemappedKeys()) return;
  armKeyboardRestore(restoreKeyboardDelay);
}

void InputInjector::armKeyboardRestore(corvel::Clock::Duration delay) {
  restoreTimer_ = clock_->schedule(queue_.executor(), delay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->restoreKeyboardWhenIdle();
  });
}

void InputInjector::restoreKeyboardWhenIdle() {
  auto idle = clock_->now() - lastKeyboardUse_;
  if (idle < restoreKeyboardDelay) {
    armKeyboardRestore(restoreKeyboardDelay - idle);
    return;
  }
  restoreTimer_.reset();
  poster_->restoreKeyboardMapping();
  poster_->flush();
}

}  // namespace ambrel
