#include "Ambrel_Host/input/XTestEventPoster.h"

#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "Ambrel_Host/input/KeySyms.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("input");
  return logger;
}

// Protocol errors (a keycode that someone else changed meanwhile, say) are logged, never fatal.
// Xlib keeps one handler for the whole process.
int logXError(Display* display, XErrorEvent* error) {
  char text[128] = {};
  XGetErrorText(display, error->error_code, text, sizeof text);
  log().warn("X error {} ({}) on request {}.{}", static_cast<int>(error->error_code), text,
             static_cast<int>(error->request_code), static_cast<int>(error->minor_code));
  return 0;
}

constexpr std::size_t maxSpareKeycodes = 10;

}  // namespace

struct XTestEventPoster::Impl {
  Display* display = nullptr;
  bool xtest = false;
  bool broken = false;
  int screen = 0;

  // The core keyboard map: `perKeycode` keysyms for each keycode from `minKeycode`.
  int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
  std::vector<KeySym> keymap;
  // keysym → (keycode, level 0 or 1) of the first keycode carrying it, base level preferred.
  std::unordered_map<KeySym, std::pair<KeyCode, int>> index;
  bool mapStale = false;

  struct Spare {
    KeyCode code = 0;
    KeySym keysym = NoSymbol;  // what it carries now; NoSymbol when restored
    std::uint64_t lastUse = 0;
    bool held = false;
  };
  std::vector<Spare> spares;
  std::uint64_t useCounter = 0;

  std::map<std::uint32_t, KeyCode> heldKeys;  // keysym → keycode pressed by key()
  std::set<int> heldButtons;

  bool usable() const { return display && xtest && !broken; }

  KeySym keysymAt(int keycode, int level) const {
    return keymap[static_cast<std::size_t>((keycode - minKeycode) * perKeycode + level)];
  }
  bool isEmpty(int keycode) const {
    for (int level = 0; level < perKeycode; ++level) {
      if (keysymAt(keycode, level) != NoSymbol) return false;
    }
    return true;
  }
  bool isSpare(int keycode) const {
    return std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.code == keycode; });
  }

  void loadKeymap(bool chooseSpares) {
    int per = 0;
    int count = maxKeycode - minKeycode + 1;
    KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode), count, &per);
    if (!syms) {
      log().warn("couldn't read the keyboard map");
      return;
    }
    perKeycode = per;
    keymap.assign(syms, syms + static_cast<std::size_t>(count) * static_cast<std::size_t>(per));
    XFree(syms);

    if (chooseSpares) {
      for (int code = maxKeycode; code >= minKeycode && spares.size() < maxSpareKeycodes; --code) {
        if (isEmpty(code)) spares.push_back(Spare{static_cast<KeyCode>(code)});
      }
      if (spares.empty()) log().warn("no spare keycode: characters missing from the keymap can't be typed");
    } else {
      // A spare that someone else has given keysyms meanwhile is theirs now.
      std::erase_if(spares, [&](const Spare& s) {
        return !s.held && !isEmpty(s.code) && keysymAt(s.code, 0) != s.keysym;
      });
    }

    index.clear();
    for (int code = minKeycode; code <= maxKeycode; ++code) {
      if (isSpare(code)) continue;
      for (int level = 0; level < std::min(perKeycode, 2); ++level) {
        KeySym ks = keysymAt(code, level);
        if (ks == NoSymbol) continue;
        auto [it, inserted] = index.try_emplace(ks, static_cast<KeyCode>(code), level);
        if (!inserted && level < it->second.second) it->second = {static_cast<KeyCode>(code), level};
      }
    }
    mapStale = false;
  }

  // Takes in the events Xlib has (only MappingNotify comes to us unasked) and reloads the map
  // after someone changed it.
  void readEvents(int mode) {
    while (!broken && XEventsQueued(display, mode) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type != MappingNotify || event.xmapping.request != MappingKeyboard) continue;
      // Our own remapping of one spare changes nothing in the index.
      if (event.xmapping.count == 1 && isSpare(event.xmapping.first_keycode)) continue;
      mapStale = true;
    }
  }
  void refreshMap() {
    readEvents(QueuedAfterReading);
    if (mapStale && !broken) loadKeymap(false);
  }

  std::optional<std::pair<KeyCode, int>> find(KeySym ks) const {
    auto it = index.find(ks);
    if (it == index.end()) return std::nullopt;
    return it->second;
  }

  // A spare keycode carrying `ks`, remapping the least recently used free one when none does.
  std::optional<KeyCode> spareFor(KeySym ks) {
    Spare* choice = nullptr;
    for (auto& s : spares) {
      if (s.keysym == ks) {
        s.lastUse = ++useCounter;
        return s.code;
      }
      if (!s.held && (!choice || s.lastUse < choice->lastUse)) choice = &s;
    }
    if (!choice) {
      log().warn("no free spare keycode for keysym {:#x}", static_cast<unsigned long>(ks));
      return std::nullopt;
    }
    KeySym syms[2] = {ks, ks};  // the same with or without Shift
    XChangeKeyboardMapping(display, choice->code, 2, syms, 1);
    choice->keysym = ks;
    choice->lastUse = ++useCounter;
    return choice->code;
  }

  void setSpareHeld(KeyCode code, bool held) {
    for (auto& s : spares) {
      if (s.code == code) s.held = held;
    }
  }

  void tap(KeyCode code) {
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
  }

  bool isAlphabetic(KeyCode code) const {
    KeySym lower = NoSymbol, upper = NoSymbol;
    XConvertCase(keysymAt(code, 0), &lower, &upper);
    return lower != upper;
  }

  void restore() {
    std::vector<KeySym> empty(static_cast<std::size_t>(std::max(perKeycode, 1)), NoSymbol);
    for (auto& s : spares) {
      if (s.keysym == NoSymbol || s.held) continue;
      XChangeKeyboardMapping(display, s.code, static_cast<int>(empty.size()), empty.data(), 1);
      s.keysym = NoSymbol;
    }
  }
};

XTestEventPoster::XTestEventPoster(const std::string& displayName) : impl_(std::make_unique<Impl>()) {
  static std::once_flag handlers;
  std::call_once(handlers, [] {
    XSetErrorHandler(logXError);
    // Xlib's own handler ends the process; ours returns, and the connection's exit handler below
    // marks the poster broken instead.
    XSetIOErrorHandler([](Display*) { return 0; });
    XrmInitialize();
  });

  auto& d = *impl_;
  d.display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!d.display) {
    log().warn("can't open X display {}; remote input goes nowhere",
               displayName.empty() ? "$DISPLAY" : displayName);
    return;
  }
  XSetIOErrorExitHandler(
      d.display,
      [](Display* display, void* data) {
        auto* impl = static_cast<Impl*>(data);
        if (!impl->broken) log().error("lost the X connection; remote input goes nowhere");
        impl->broken = true;
        // Xlib takes the display's user lock for this thread before it calls us, expecting the
        // process to end; as it goes on, the lock is given back here. Otherwise any other thread
        // that touches the display, closing it included, would wait for ever.
        XUnlockDisplay(display);
      },
      impl_.get());

  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  d.xtest = XTestQueryExtension(d.display, &eventBase, &errorBase, &major, &minor);
  if (!d.xtest) {
    log().warn("the X server has no XTEST extension; remote input goes nowhere");
    return;
  }
  // Keep posting while another client grabs the server.
  XTestGrabControl(d.display, True);
  d.screen = DefaultScreen(d.display);
  XDisplayKeycodes(d.display, &d.minKeycode, &d.maxKeycode);
  d.loadKeymap(true);
  log().info("XTEST {}.{} on {}, {} spare keycodes", major, minor, DisplayString(d.display),
             d.spares.size());
}

XTestEventPoster::~XTestEventPoster() {
  auto& d = *impl_;
  if (!d.display) return;
  if (d.usable()) {
    // Nothing stays down, and the keyboard map is left as it was found.
    for (auto [keysym, code] : d.heldKeys) XTestFakeKeyEvent(d.display, code, False, CurrentTime);
    for (int b : d.heldButtons) XTestFakeButtonEvent(d.display, static_cast<unsigned>(b), False, CurrentTime);
    for (auto& s : d.spares) s.held = false;
    d.restore();
    XSync(d.display, False);
  }
  XCloseDisplay(d.display);
}

bool XTestEventPoster::isConnected() const { return impl_->display && !impl_->broken; }

std::optional<std::string> XTestEventPoster::resource(const std::string& name,
                                                      const std::string& className) const {
  auto& d = *impl_;
  if (!d.display || d.broken) return std::nullopt;
  const char* text = XResourceManagerString(d.display);
  if (!text) return std::nullopt;
  XrmDatabase db = XrmGetStringDatabase(text);
  if (!db) return std::nullopt;
  char* type = nullptr;
  XrmValue value{};
  std::optional<std::string> result;
  std::string fullName = "ambrel-host." + name;
  std::string fullClass = "AmbrelHost." + className;
  if (XrmGetResource(db, fullName.c_str(), fullClass.c_str(), &type, &value) && value.addr) {
    result = std::string(value.addr, value.size > 0 ? value.size - 1 : 0);
  }
  XrmDestroyDatabase(db);
  return result;
}

bool XTestEventPoster::isAvailable() const { return impl_->usable(); }

DisplayBounds XTestEventPoster::screenBounds() const {
  auto& d = *impl_;
  if (!d.display || d.broken) return {};
  return {0, 0, DisplayWidth(d.display, d.screen), DisplayHeight(d.display, d.screen)};
}

void XTestEventPoster::moveTo(int x, int y) {
  auto& d = *impl_;
  if (!d.usable()) return;
  XTestFakeMotionEvent(d.display, d.screen, x, y, CurrentTime);
}

void XTestEventPoster::button(int xButton, bool down, int clickCount) {
  auto& d = *impl_;
  if (!d.usable()) return;
  log().trace("button {} {} (click {})", xButton, down ? "down" : "up", clickCount);
  XTestFakeButtonEvent(d.display, static_cast<unsigned>(xButton), down ? True : False, CurrentTime);
  if (down) {
    d.heldButtons.insert(xButton);
  } else {
    d.heldButtons.erase(xButton);
  }
}

void XTestEventPoster::key(std::uint32_t keysym, bool down) {
  auto& d = *impl_;
  if (!d.usable()) return;
  d.refreshMap();
  std::optional<KeyCode> code;
  if (auto held = d.heldKeys.find(keysym); held != d.heldKeys.end()) {
    code = held->second;  // a repeat, or the release: the keycode it went down on
    if (!down) d.heldKeys.erase(held);
  } else {
    if (auto found = d.find(keysym); found && found->second == 0) code = found->first;
    if (!code) code = d.spareFor(keysym);
    if (!code) return;
    if (down) d.heldKeys.emplace(keysym, *code);
  }
  d.setSpareHeld(*code, down);
  XTestFakeKeyEvent(d.display, *code, down ? True : False, CurrentTime);
}

void XTestEventPoster::typeText(std::u32string_view characters) {
  auto& d = *impl_;
  if (!d.usable()) return;
  d.refreshMap();

  // Shift and Caps Lock as they are now decide which level a keycode types.
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned mask = 0;
  XQueryPointer(d.display, RootWindow(d.display, d.screen), &root, &child, &rootX, &rootY, &x, &y, &mask);
  bool shifted = mask & ShiftMask;
  bool locked = mask & LockMask;
  auto shiftKey = d.find(XK_Shift_L);

  for (char32_t c : characters) {
    auto keysym = KeySyms::forCharacter(c);
    if (!keysym) continue;
    if (auto found = d.find(*keysym)) {
      auto [code, level] = *found;
      bool wantShift = (level == 1) != (locked && d.isAlphabetic(code));
      if (wantShift == shifted) {
        d.tap(code);
        continue;
      }
      if (wantShift && shiftKey && shiftKey->second == 0) {
        XTestFakeKeyEvent(d.display, shiftKey->first, True, CurrentTime);
        d.tap(code);
        XTestFakeKeyEvent(d.display, shiftKey->first, False, CurrentTime);
        continue;
      }
    }
    if (auto spare = d.spareFor(*keysym)) d.tap(*spare);
  }
}

bool XTestEventPoster::hasRemappedKeys() const {
  return std::any_of(impl_->spares.begin(), impl_->spares.end(),
                     [](const Impl::Spare& s) { return s.keysym != NoSymbol; });
}

void XTestEventPoster::restoreKeyboardMapping() {
  auto& d = *impl_;
  if (!d.usable()) return;
  d.restore();
}

void XTestEventPoster::flush() {
  auto& d = *impl_;
  if (!d.usable()) return;
  XFlush(d.display);
  d.readEvents(QueuedAlready);
}

}  // namespace ambrel
