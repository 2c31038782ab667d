#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "Ambrel_Host/input/ClickCounter.h"
#include "Ambrel_Host/input/DisplayBounds.h"
#include "Ambrel_Host/input/ScrollAccumulator.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/SerialQueue.h"
#include "CorvelKit/input/ModifierLatch.h"
#include "CorvelKit/protocol/InputEvent.h"

namespace ambrel {

class EventPoster;

// Turns the input events of controlling clients into synthetic desktop input: pointer positions
// mapped onto the display a client watches, buttons with click counts, wheels, keys with their
// modifiers, and typed text. One injector serves the whole host.
//
// Every entry point returns at once and does its work on the injector's own queue
// ("corvel.input"), in call order, so any thread may call it; the injector's state is touched by
// that queue alone.
//
// A key already held is not pressed again: the X server repeats held keys at the desktop's own
// rate, so the client's repeated key-downs would double it.
//
// What a peer controls is bounded: positions are clamped into the display, key codes without a
// keysym are not posted (the modifier latch still sees them), a text is cut after
// `maxTextUnits` UTF-16 units, a wheel event yields at most 64 steps, and events carrying a
// non-finite number are dropped.
class InputInjector : public std::enable_shared_from_this<InputInjector> {
 public:
  struct Options {
    // The display coordinates refer to until `setDisplay`; empty: the poster's whole screen.
    DisplayBounds display;
    corvel::Clock::Duration doubleClickInterval = std::chrono::milliseconds(500);
    corvel::Executor executor = corvel::sharedPool().get_executor();
    std::shared_ptr<corvel::Clock> clock = corvel::Clock::system();
  };

  // Text is typed in chunks of this many UTF-16 code units; a surrogate pair cut by a chunk's end
  // is typed whole with the next chunk.
  static constexpr std::size_t textChunkUnits = 20;
  // A longer text is cut to this many UTF-16 units (at a character boundary) and the rest dropped,
  // with a warning: long text belongs on the clipboard.
  static constexpr std::size_t maxTextUnits = 4096;
  // Spare keycodes that typing mapped get their empty mapping back once no key or text event came
  // for this long.
  static constexpr std::chrono::milliseconds restoreKeyboardDelay{500};

  static std::shared_ptr<InputInjector> create(std::unique_ptr<EventPoster> poster, Options options);
  // The injector of the X display `displayName` (empty: $DISPLAY), posting through XTest, with
  // the desktop's double-click interval. Without a display or XTEST it still runs and keeps its
  // state; nothing reaches the desktop and `isTrusted()` is false.
  static std::shared_ptr<InputInjector> createForX11(const std::string& displayName = {});
  // The injector of a desktop backend's event poster, with the desktop's double-click interval.
  static std::shared_ptr<InputInjector> createForDesktop(std::unique_ptr<EventPoster> poster);

  ~InputInjector();
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // Injects one event against the current display.
  void inject(corvel::protocol::InputEvent event);
  // Switches to `display` (as setDisplay), then injects.
  void inject(corvel::protocol::InputEvent event, DisplayBounds display);
  // The display coordinates refer to, in the X screen's coordinates. When the pointer lies outside
  // it (grown by one point on every side), the pointer's remembered position becomes its centre.
  // An empty rectangle is ignored.
  void setDisplay(DisplayBounds display);
  // Releases every button and key still held, and forgets the modifiers.
  void releaseAll();

  // Whether posted events reach the desktop (XTEST is there); fixed for the injector's life.
  bool isTrusted() const { return trusted_; }
  const corvel::SerialQueue& queue() const { return queue_; }

 private:
  InputInjector(std::unique_ptr<EventPoster> poster, Options options);

  template <class Work>
  void enqueue(Work work);

  // All of the following run on the queue.
  void apply(const corvel::protocol::InputEvent& event);
  void switchDisplay(DisplayBounds display);
  void mouseMove(const corvel::protocol::InputEvent::MouseMove& e);
  void mouseButton(const corvel::protocol::InputEvent::MouseButtonChange& e);
  void scroll(double dx, double dy);
  void smoothScroll(const corvel::protocol::InputEvent::SmoothScroll& e);
  void mouseDelta(const corvel::protocol::InputEvent::MouseDelta& e);
  void key(const corvel::protocol::InputEvent::Key& e);
  void text(const std::string& text);
  void releaseEverything();

  DisplayPoint mapPosition(double x, double y) const;
  void movePointerTo(DisplayPoint point);
  void postButton(corvel::protocol::MouseButton button, bool down, int clickCount);
  void postWheel(int steps, int positiveButton, int negativeButton);
  // Posts `post` with the modifiers that `flags` names but that no held key provides pressed
  // around it (left-hand keys, pressed in order and released in reverse). `ownFlag` is the flag of
  // the key being posted, which never needs a helper.
  template <class Post>
  void withModifiers(std::uint64_t flags, std::uint64_t ownFlag, Post post);
  std::uint64_t heldModifierFlags() const;
  // Restores the keyboard mapping once no key or text event came for `restoreKeyboardDelay`.
  void scheduleKeyboardRestore();
  void armKeyboardRestore(corvel::Clock::Duration delay);
  void restoreKeyboardWhenIdle();

  corvel::SerialQueue queue_;
  std::shared_ptr<corvel::Clock> clock_;
  std::unique_ptr<EventPoster> poster_;
  const bool trusted_;

  DisplayBounds display_;
  std::set<corvel::protocol::MouseButton> pressed_;
  std::set<std::uint16_t> pressedKeys_;
  DisplayPoint lastPoint_;
  bool hasPointer_ = false;
  ClickCounter clicks_;
  corvel::input::ModifierLatch latch_;
  ScrollAccumulator wheelVertical_, wheelHorizontal_;
  corvel::Clock::TimePoint lastKeyboardUse_{};
  std::unique_ptr<corvel::Timer> restoreTimer_;
};

}  // namespace ambrel
