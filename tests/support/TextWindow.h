#pragma once

#include <memory>
#include <string>

namespace corvel::test {

// A window above everything else showing one line of black text on white, in the X server's
// built-in "fixed" font enlarged `scale` times (large enough to be read back from a capture).
// It can also be announced as the active window under an application class, as a window
// manager would.
class TextWindow {
 public:
  TextWindow(const std::string& displayName, int x, int y, const std::string& text, int scale = 4);
  ~TextWindow();
  TextWindow(const TextWindow&) = delete;
  TextWindow& operator=(const TextWindow&) = delete;

  bool isShown() const;
  int width() const;
  int height() const;
  // Sets WM_CLASS and _NET_ACTIVE_WINDOW on the root window to this window.
  void activate(const std::string& instance, const std::string& applicationClass);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::test
