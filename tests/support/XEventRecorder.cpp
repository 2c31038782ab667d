#include "tests/support/XEventRecorder.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <thread>

#include "CorvelKit/base/Unicode.h"

namespace corvel::test {

using namespace std::chrono_literals;

struct XEventRecorder::Impl {
  Display* display = nullptr;
  Window window = 0;
};

namespace {

// What a key press types: Latin-1 and Unicode keysyms as their character, Return as a newline.
std::string textOf(KeySym keysym) {
  if (keysym >= 0x1000100 && keysym <= 0x110FFFF) {
    return corvel::unicode::encodeUTF8(std::u32string(1, static_cast<char32_t>(keysym - 0x1000000)));
  }
  if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) {
    return corvel::unicode::encodeUTF8(std::u32string(1, static_cast<char32_t>(keysym)));
  }
  if (keysym == XK_Return) return "\n";
  return {};
}

}  // namespace

XEventRecorder::XEventRecorder(const std::string& displayName) : impl_(std::make_unique<Impl>()) {
  impl_->display = XOpenDisplay(displayName.c_str());
}

XEventRecorder::~XEventRecorder() {
  if (impl_->display) XCloseDisplay(impl_->display);
}

bool XEventRecorder::isConnected() const { return impl_->display != nullptr; }

std::pair<int, int> XEventRecorder::screenSize() const {
  Display* d = impl_->display;
  return {DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
}

void XEventRecorder::openFocusedWindow() {
  Display* d = impl_->display;
  auto [width, height] = screenSize();
  impl_->window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, 0, 0);
  XSelectInput(d, impl_->window,
               KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   StructureNotifyMask);
  XMapWindow(d, impl_->window);
  for (;;) {
    XEvent e;
    XNextEvent(d, &e);
    if (e.type == MapNotify) break;
  }
  XSetInputFocus(d, impl_->window, RevertToParent, CurrentTime);
  XSync(d, False);
}

std::unique_ptr<XEventRecorder::Event> XEventRecorder::next(std::chrono::milliseconds timeout) {
  Display* d = impl_->display;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (XPending(d) == 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return nullptr;
      pollfd fd{ConnectionNumber(d), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left.count()));
      continue;
    }
    XEvent e;
    XNextEvent(d, &e);
    auto event = std::make_unique<Event>();
    switch (e.type) {
      case MappingNotify:
        XRefreshKeyboardMapping(&e.xmapping);
        continue;
      case KeyPress:
      case KeyRelease: {
        char buffer[32] = {};
        KeySym keysym = NoSymbol;
        XLookupString(&e.xkey, buffer, sizeof buffer, &keysym, nullptr);
        event->type = e.type == KeyPress ? Event::Type::keyPress : Event::Type::keyRelease;
        event->keysym = static_cast<std::uint32_t>(keysym);
        if (e.type == KeyPress) event->text = textOf(keysym);
        event->state = e.xkey.state;
        event->x = e.xkey.x_root;
        event->y = e.xkey.y_root;
        event->time = e.xkey.time;
        return event;
      }
      case ButtonPress:
      case ButtonRelease:
        event->type = e.type == ButtonPress ? Event::Type::buttonPress : Event::Type::buttonRelease;
        event->button = e.xbutton.button;
        event->state = e.xbutton.state;
        event->x = e.xbutton.x_root;
        event->y = e.xbutton.y_root;
        event->time = e.xbutton.time;
        return event;
      case MotionNotify:
        event->type = Event::Type::motion;
        event->state = e.xmotion.state;
        event->x = e.xmotion.x_root;
        event->y = e.xmotion.y_root;
        event->time = e.xmotion.time;
        return event;
      default:
        continue;
    }
  }
}

std::vector<XEventRecorder::Event> XEventRecorder::collect(std::chrono::milliseconds quiet) {
  std::vector<Event> events;
  while (auto event = next(quiet)) events.push_back(*event);
  return events;
}

std::pair<int, int> XEventRecorder::pointer(unsigned* mask) const {
  Display* d = impl_->display;
  Window root = 0, child = 0;
  int rx = 0, ry = 0, x = 0, y = 0;
  unsigned m = 0;
  XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &x, &y, &m);
  if (mask) *mask = m;
  return {rx, ry};
}

bool XEventRecorder::isDown(std::uint32_t keysym) const {
  char keys[32] = {};
  XQueryKeymap(impl_->display, keys);
  KeyCode code = XKeysymToKeycode(impl_->display, keysym);
  return code != 0 && (keys[code / 8] & (1 << (code % 8)));
}

unsigned XEventRecorder::modifierMask(std::uint32_t keysym) const {
  KeyCode code = XKeysymToKeycode(impl_->display, keysym);
  if (code == 0) return 0;
  XModifierKeymap* map = XGetModifierMapping(impl_->display);
  unsigned mask = 0;
  for (int modifier = 0; modifier < 8 && mask == 0; ++modifier) {
    for (int i = 0; i < map->max_keypermod; ++i) {
      if (map->modifiermap[modifier * map->max_keypermod + i] == code) mask = 1u << modifier;
    }
  }
  XFreeModifiermap(map);
  return mask;
}

}  // namespace corvel::test
