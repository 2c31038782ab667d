#include "Ambrel_Host/controller/X11FrontmostApp.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "Ambrel_Host/controller/ClipboardText.h"

namespace ambrel {

namespace {

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, Free>;

// Longest name read, in 32-bit units.
constexpr std::uint32_t kLongest = 1024;

}  // namespace

struct X11FrontmostApp::Connection {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  xcb_atom_t active = 0, netName = 0, utf8 = 0;
  ~Connection() {
    if (c != nullptr) xcb_disconnect(c);
  }
  xcb_atom_t intern(const char* name) const {
    Reply<xcb_intern_atom_reply_t> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : XCB_ATOM_NONE;
  }
  Reply<xcb_get_property_reply_t> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) const {
    return Reply<xcb_get_property_reply_t>(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, kLongest), nullptr));
  }
};

X11FrontmostApp::X11FrontmostApp(std::string displayName) : displayName_(std::move(displayName)) {}
X11FrontmostApp::~X11FrontmostApp() = default;

std::optional<std::string> X11FrontmostApp::name() {
  if (connection_ && xcb_connection_has_error(connection_->c)) connection_.reset();
  if (!connection_) {
    auto made = std::make_unique<Connection>();
    made->c = xcb_connect(displayName_.empty() ? nullptr : displayName_.c_str(), nullptr);
    if (xcb_connection_has_error(made->c)) return std::nullopt;
    made->root = xcb_setup_roots_iterator(xcb_get_setup(made->c)).data->root;
    made->active = made->intern("_NET_ACTIVE_WINDOW");
    made->netName = made->intern("_NET_WM_NAME");
    made->utf8 = made->intern("UTF8_STRING");
    connection_ = std::move(made);
  }
  const auto& x = *connection_;
  auto active = x.property(x.root, x.active, XCB_ATOM_WINDOW);
  if (!active || active->format != 32 || xcb_get_property_value_length(active.get()) < 4) return std::nullopt;
  xcb_window_t window = 0;
  std::memcpy(&window, xcb_get_property_value(active.get()), sizeof window);
  if (window == XCB_NONE) return std::nullopt;

  // The names are whatever the window's program set: made valid text before they go anywhere.
  auto text = [](const xcb_get_property_reply_t& r) {
    return corvel::ByteView(static_cast<const std::uint8_t*>(xcb_get_property_value(&r)),
                            static_cast<std::size_t>(xcb_get_property_value_length(&r)));
  };
  if (auto wmClass = x.property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING); wmClass && wmClass->format == 8) {
    // "instance\0class\0": the class names the application.
    auto bytes = text(*wmClass);
    auto raw = corvel::asString(bytes);
    if (auto nul = raw.find('\0'); nul != std::string_view::npos) {
      auto name = ClipboardText::fromLatin1(corvel::asBytes(raw.substr(nul + 1)));
      if (auto end = name.find('\0'); end != std::string::npos) name.resize(end);
      if (!name.empty()) return name;
    }
  }
  if (auto title = x.property(window, x.netName, x.utf8); title && title->format == 8) {
    auto name = ClipboardText::fromUTF8(text(*title));
    if (!name.empty()) return name;
  }
  if (auto title = x.property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING); title && title->format == 8) {
    auto name = ClipboardText::fromLatin1(text(*title));
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

}  // namespace ambrel
