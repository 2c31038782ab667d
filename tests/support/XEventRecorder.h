#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace corvel::test {

// A small X client for tests: a window over the whole screen that holds the input focus and
// records the key, button and motion events the server delivers to it, as an application would
// see them. It also answers the server-side questions (where is the pointer, which keys are down).
class XEventRecorder {
 public:
  struct Event {
    enum class Type { keyPress, keyRelease, buttonPress, buttonRelease, motion };
    Type type;
    unsigned button = 0;         // button events
    std::uint32_t keysym = 0;    // key events: the keysym at the event's own state
    std::string text;            // key presses: what the press types, as UTF-8
    unsigned state = 0;          // modifier and button mask before the event
    int x = 0, y = 0;            // root coordinates
    std::uint64_t time = 0;      // server time, in milliseconds
  };

  // Connects to `displayName`; `isConnected()` tells whether that worked.
  explicit XEventRecorder(const std::string& displayName);
  ~XEventRecorder();
  XEventRecorder(const XEventRecorder&) = delete;
  XEventRecorder& operator=(const XEventRecorder&) = delete;

  bool isConnected() const;
  // Maps the window, gives it the focus and waits until the server has done both.
  void openFocusedWindow();

  // The events delivered since the last call, waiting until none came for `quiet`.
  std::vector<Event> collect(std::chrono::milliseconds quiet = std::chrono::milliseconds(300));
  // The events delivered since the last call, waiting up to `timeout` for one that `stop` accepts
  // (which is included).
  template <class Stop>
  std::vector<Event> collectUntil(Stop stop, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::vector<Event> events;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto event = next(std::chrono::milliseconds(10))) {
        events.push_back(*event);
        if (stop(events.back())) break;
      }
    }
    return events;
  }
  // The next delivered event, waiting up to `timeout`.
  std::unique_ptr<Event> next(std::chrono::milliseconds timeout);

  // The pointer's position on the root window (a round trip to the server), and its mask.
  std::pair<int, int> pointer(unsigned* mask = nullptr) const;
  // Whether the key that carries `keysym` is down on the server.
  bool isDown(std::uint32_t keysym) const;
  // The modifier mask bit of the modifier that `keysym` belongs to (0 if none).
  unsigned modifierMask(std::uint32_t keysym) const;
  // Masks of the core protocol.
  static constexpr unsigned shiftMask = 1u << 0;
  static constexpr unsigned controlMask = 1u << 2;
  static constexpr unsigned button1Mask = 1u << 8;
  // The screen's size in pixels.
  std::pair<int, int> screenSize() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::test
