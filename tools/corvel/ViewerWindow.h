#pragma once

#include <functional>
#include <memory>
#include <string>

#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/protocol/InputEvent.h"

namespace corvel::tool {

// The viewer's window (SDL2): shows decoded pictures scaled to the window with their aspect ratio
// kept, and turns the pointer, wheel and keyboard used inside it into input events for the host.
// Made, used and destroyed on one thread.
class ViewerWindow {
 public:
  // The window, or nothing (with the reason on standard error) when none can be opened.
  static std::unique_ptr<ViewerWindow> open(const std::string& title);
  ~ViewerWindow();
  ViewerWindow(const ViewerWindow&) = delete;
  ViewerWindow& operator=(const ViewerWindow&) = delete;

  void show(const media::DecodedPicture& picture);
  // Handles the window's waiting events; false once the user closed it.
  bool pump();

  // Input inside the picture, with positions as fractions of the picture.
  std::function<void(const protocol::InputEvent&)> onInput;

 private:
  struct Impl;
  explicit ViewerWindow(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::tool
