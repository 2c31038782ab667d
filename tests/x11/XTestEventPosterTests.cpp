#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/input/XTestEventPoster.h"
#include "CorvelKit/base/ManualClock.h"
#include "CorvelKit/base/Unicode.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::protocol::InputEvent;
using corvel::protocol::MouseButton;

// The test's own view of the server: a focused window that collects key and button events.
class Observer {
 public:
  explicit Observer(const std::string& displayName) : display_(XOpenDisplay(displayName.c_str())) {}
  ~Observer() {
    if (display_) XCloseDisplay(display_);
  }
  Display* display() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

  void openFocusedWindow() {
    window_ = XCreateSimpleWindow(display_, root(), 0, 0, 1280, 800, 0, 0, 0);
    XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                                        StructureNotifyMask);
    XMapWindow(display_, window_);
    for (;;) {
      XEvent e;
      XNextEvent(display_, &e);
      if (e.type == MapNotify) break;
    }
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }

  // Everything typed into the window so far, as UTF-8, and the wheel buttons pressed.
  struct Seen {
    std::string text;
    std::vector<unsigned> buttons;
  };
  Seen collect(std::chrono::milliseconds quiet = 300ms) {
    Seen seen;
    auto deadline = std::chrono::steady_clock::now() + quiet;
    while (std::chrono::steady_clock::now() < deadline) {
      if (XPending(display_) == 0) {
        std::this_thread::sleep_for(10ms);
        continue;
      }
      XEvent e;
      XNextEvent(display_, &e);
      deadline = std::chrono::steady_clock::now() + quiet;
      if (e.type == MappingNotify) {
        XRefreshKeyboardMapping(&e.xmapping);
      } else if (e.type == KeyPress) {
        char buffer[32] = {};
        KeySym keysym = NoSymbol;
        int n = XLookupString(&e.xkey, buffer, sizeof buffer, &keysym, nullptr);
        if (keysym >= 0x1000100 && keysym <= 0x110FFFF) {
          seen.text += corvel::unicode::encodeUTF8(std::u32string(1, static_cast<char32_t>(keysym - 0x1000000)));
        } else if (keysym >= 0x20 && keysym <= 0xFF) {
          seen.text += corvel::unicode::encodeUTF8(std::u32string(1, static_cast<char32_t>(keysym)));
        } else if (n > 0 && keysym == XK_Return) {
          seen.text += '\n';
        }
      } else if (e.type == ButtonPress) {
        seen.buttons.push_back(e.xbutton.button);
      }
    }
    return seen;
  }

  std::pair<int, int> pointer(unsigned* mask = nullptr) {
    Window r = 0, c = 0;
    int rx = 0, ry = 0, x = 0, y = 0;
    unsigned m = 0;
    XQueryPointer(display_, root(), &r, &c, &rx, &ry, &x, &y, &m);
    if (mask) *mask = m;
    return {rx, ry};
  }

  bool isDown(KeySym keysym) {
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    KeyCode code = XKeysymToKeycode(display_, keysym);
    return code != 0 && (keys[code / 8] & (1 << (code % 8)));
  }

  // Keycodes that carry no keysym at all.
  std::vector<int> emptyKeycodes() {
    int min = 0, max = 0, per = 0;
    XDisplayKeycodes(display_, &min, &max);
    KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(min), max - min + 1, &per);
    std::vector<int> empty;
    for (int code = min; code <= max; ++code) {
      bool none = true;
      for (int l = 0; l < per; ++l) none = none && syms[(code - min) * per + l] == NoSymbol;
      if (none) empty.push_back(code);
    }
    XFree(syms);
    return empty;
  }

 private:
  Display* display_;
  Window window_ = 0;
};

// Requests of different clients have no order between them, so what the injector posted shows up
// a moment later to the observer.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 5s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class XTestInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
    observer = std::make_unique<Observer>(xvfb.displayName());
    ASSERT_NE(observer->display(), nullptr);
    auto poster = std::make_unique<XTestEventPoster>(xvfb.displayName());
    ASSERT_TRUE(poster->isAvailable());
    EXPECT_EQ(poster->screenBounds(), (DisplayBounds{0, 0, 1280, 800}));
    InputInjector::Options options;
    options.executor = io.get_executor();
    options.clock = clock;
    injector = InputInjector::create(std::move(poster), options);
  }

  void send(InputEvent event) {
    injector->inject(std::move(event));
    run();
  }
  void run() {
    io.restart();
    io.run();
  }

  corvel::test::XvfbServer xvfb;
  std::unique_ptr<Observer> observer;
  boost::asio::io_context io;
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>();
  std::shared_ptr<InputInjector> injector;
};

TEST_F(XTestInjection, MovesThePointer) {
  EXPECT_TRUE(injector->isTrusted());
  auto pointerAt = [&](int x, int y) {
    return eventually([&] { return observer->pointer() == std::make_pair(x, y); });
  };
  send(InputEvent::MouseMove{0.25, 0.5});
  EXPECT_TRUE(pointerAt(320, 400));
  send(InputEvent::MouseMove{1.5, -0.2});
  EXPECT_TRUE(pointerAt(1279, 0));
  // Relative motion starts from the remembered point, the right edge itself (x = 1280).
  send(InputEvent::MouseDelta{-100, 50});
  EXPECT_TRUE(pointerAt(1180, 50));
}

TEST_F(XTestInjection, HoldsButtonsAndKeysAndReleasesThemAll) {
  auto leftButtonDown = [&] {
    unsigned mask = 0;
    observer->pointer(&mask);
    return (mask & Button1Mask) != 0;
  };
  send(InputEvent::MouseButtonChange{MouseButton::left, true, 0.5, 0.5});
  EXPECT_TRUE(eventually(leftButtonDown));

  // A held with command named by the flags: Super is pressed around the key only.
  send(InputEvent::Key{0, true, 0x100000});
  EXPECT_TRUE(eventually([&] { return observer->isDown(XK_a); }));
  EXPECT_TRUE(eventually([&] { return !observer->isDown(XK_Super_L); }));
  send(InputEvent::Key{56, true, 0x20000});
  EXPECT_TRUE(eventually([&] { return observer->isDown(XK_Shift_L); }));
  EXPECT_TRUE(observer->isDown(XK_a));

  injector->releaseAll();
  run();
  EXPECT_TRUE(eventually([&] { return !observer->isDown(XK_Shift_L); }));
  EXPECT_FALSE(leftButtonDown());
  EXPECT_FALSE(observer->isDown(XK_a));
}

TEST_F(XTestInjection, TypesTextThroughTheKeymapAndSpareKeycodes) {
  auto emptyBefore = observer->emptyKeycodes();
  ASSERT_FALSE(emptyBefore.empty());
  observer->openFocusedWindow();

  const std::string text = "Hello, World! é€😀\n~ok";
  send(InputEvent::Text{text});
  EXPECT_EQ(observer->collect().text, text);

  // Shifted keys through the client's flags: shift + a types A.
  send(InputEvent::Key{0, true, 0x20000});
  send(InputEvent::Key{0, false, 0x20000});
  EXPECT_EQ(observer->collect().text, "A");

  // The spare keycodes get their empty mapping back once typing pauses.
  EXPECT_NE(observer->emptyKeycodes(), emptyBefore);
  clock->advance(InputInjector::restoreKeyboardDelay);
  run();
  EXPECT_TRUE(eventually([&] { return observer->emptyKeycodes() == emptyBefore; }));
}

TEST_F(XTestInjection, WheelStepsArriveAsButtons) {
  observer->openFocusedWindow();
  send(InputEvent::MouseMove{0.5, 0.5});
  send(InputEvent::Scroll{0, 2});
  send(InputEvent::Scroll{-1, 0});
  auto seen = observer->collect();
  EXPECT_EQ(seen.buttons, (std::vector<unsigned>{4, 4, 7}));
}

TEST(XTestEventPoster, InjectorOfAnXDisplayIsTrustedWhereXTestIs) {
  corvel::test::XvfbServer xvfb;
  ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
  EXPECT_TRUE(InputInjector::createForX11(xvfb.displayName())->isTrusted());
  EXPECT_FALSE(InputInjector::createForX11(":4242")->isTrusted());
}

TEST(XTestEventPoster, ReadsTheDoubleClickTimeFromTheXResources) {
  corvel::test::XvfbServer xvfb;
  ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
  {
    Display* d = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(d, nullptr);
    const char resources[] = "*multiClickTime:\t321\n";
    XChangeProperty(d, DefaultRootWindow(d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources), sizeof resources - 1);
    XCloseDisplay(d);
  }
  XTestEventPoster poster(xvfb.displayName());
  EXPECT_EQ(poster.resource("multiClickTime", "MultiClickTime"), "321");
  EXPECT_EQ(poster.resource("noSuchThing", "NoSuchThing"), std::nullopt);
}

TEST(XTestEventPoster, WithoutADisplayNothingIsPostedAndNothingBreaks) {
  XTestEventPoster poster(":4242");
  EXPECT_FALSE(poster.isConnected());
  EXPECT_FALSE(poster.isAvailable());
  EXPECT_EQ(poster.screenBounds(), DisplayBounds{});
  poster.moveTo(1, 1);
  poster.key(XK_a, true);
  poster.typeText(U"x");
  poster.flush();
  EXPECT_FALSE(poster.hasRemappedKeys());
}

// The break is noticed on the thread that posts, and the poster ends on another one, as the
// host's input strand and its main thread do: ending must not wait for the dead connection.
TEST(XTestEventPoster, SurvivesTheServerGoingAwayAndEndsOnAnotherThread) {
  corvel::test::XvfbServer xvfb;
  ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
  auto poster = std::make_unique<XTestEventPoster>(xvfb.displayName());
  ASSERT_TRUE(poster->isAvailable());
  xvfb.stop();
  // The posting thread stays alive (as a pool thread does) until the poster has ended.
  std::promise<void> posted, released;
  std::thread posting([&] {
    for (int i = 0; i < 3; ++i) {
      poster->moveTo(10, 10);
      poster->typeText(U"é");
      poster->flush();
    }
    posted.set_value();
    released.get_future().wait();
  });
  posted.get_future().wait();
  EXPECT_FALSE(poster->isConnected());
  EXPECT_FALSE(poster->isAvailable());

  // The thread owns the poster, so a failing run leaves it blocked there instead of hanging here.
  std::promise<void> ended;
  auto isEnded = ended.get_future();
  std::thread([p = std::move(poster), ended = std::move(ended)]() mutable {
    p.reset();
    ended.set_value();
  }).detach();
  const auto status = isEnded.wait_for(std::chrono::seconds(5));
  released.set_value();
  posting.join();
  ASSERT_EQ(status, std::future_status::ready) << "the poster's end waits for the lost connection";
}

}  // namespace
}  // namespace ambrel
