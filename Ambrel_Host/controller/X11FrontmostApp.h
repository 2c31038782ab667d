#pragma once

#include <memory>
#include <optional>
#include <string>

namespace ambrel {

// The application in front on an X display, as the window manager tells it: the active window
// (_NET_ACTIVE_WINDOW) named by its class (WM_CLASS), or else by its title (_NET_WM_NAME,
// WM_NAME). Nothing without a window manager that says which window is active. Connects at the
// first question; one thread at a time.
class X11FrontmostApp {
 public:
  explicit X11FrontmostApp(std::string displayName = {});
  ~X11FrontmostApp();

  std::optional<std::string> name();

 private:
  struct Connection;
  const std::string displayName_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace ambrel
