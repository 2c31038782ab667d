#pragma once

// Handles and helpers for XCB shared by the X11 capture classes. Only their .cpp files include
// this; it names XCB's types by forward declaration and never includes an X header.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "CorvelKit/base/Expected.h"

struct xcb_connection_t;

namespace ambrel {

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const;
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

// Replies and events of XCB are malloc'd and released with free().
struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// An open connection and the root window of its default screen.
struct XcbScreen {
  XcbConnection connection;
  std::uint32_t root = 0;
  int width = 0;
  int height = 0;
  int rootDepth = 0;
};

// Connects to `displayName` (empty: $DISPLAY) and checks that RandR 1.5 is there.
[[nodiscard]] corvel::Expected<XcbScreen, std::error_code> connectToX(const std::string& displayName);

// The monitors of the screen, in the server's order (see ScreenDisplay for the identifiers).
// Fails only when the connection broke.
[[nodiscard]] corvel::Expected<std::vector<ScreenDisplay>, std::error_code> readMonitors(
    xcb_connection_t* connection, std::uint32_t root);

}  // namespace ambrel
