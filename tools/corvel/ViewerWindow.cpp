#include "tools/corvel/ViewerWindow.h"

#include <SDL.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <utility>

#include "CorvelKit/input/KeyMap.h"
#include "CorvelKit/protocol/ModifierBits.h"

namespace corvel::tool {

using media::DecodedPicture;
using protocol::InputEvent;

struct ViewerWindow::Impl {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  int width = 0;
  int height = 0;
  DecodedPicture::Layout layout = DecodedPicture::Layout::other;

  ~Impl() {
    if (texture != nullptr) SDL_DestroyTexture(texture);
    if (renderer != nullptr) SDL_DestroyRenderer(renderer);
    if (window != nullptr) SDL_DestroyWindow(window);
    SDL_Quit();  // also ends what SDL started for itself (its D-Bus connection)
  }

  // The picture's point under a window position, as fractions; nothing outside the picture.
  std::optional<std::pair<double, double>> fraction(int x, int y) const {
    if (width == 0 || height == 0) return std::nullopt;
    // With a logical size set, SDL already reports positions in picture pixels.
    if (x < 0 || y < 0 || x >= width || y >= height) return std::nullopt;
    return std::pair{static_cast<double>(x) / std::max(width - 1, 1),
                     static_cast<double>(y) / std::max(height - 1, 1)};
  }
};

namespace {

std::uint64_t flagsOf(Uint16 mod) {
  using Bits = protocol::ModifierBits;
  std::uint64_t flags = 0;
  if ((mod & KMOD_SHIFT) != 0) flags |= Bits::shift;
  if ((mod & KMOD_CTRL) != 0) flags |= Bits::control;
  if ((mod & KMOD_ALT) != 0) flags |= Bits::option;
  if ((mod & KMOD_GUI) != 0) flags |= Bits::command;
  if ((mod & KMOD_CAPS) != 0) flags |= Bits::capsLock;
  return flags;
}

protocol::MouseButton buttonOf(Uint8 button) {
  if (button == SDL_BUTTON_RIGHT) return protocol::MouseButton::right;
  if (button == SDL_BUTTON_MIDDLE) return protocol::MouseButton::middle;
  return protocol::MouseButton::left;
}

}  // namespace

std::unique_ptr<ViewerWindow> ViewerWindow::open(const std::string& title) {
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    std::cerr << "corvel: no window: " << SDL_GetError() << "\n";
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                  1280, 720, SDL_WINDOW_RESIZABLE);
  if (impl->window != nullptr) impl->renderer = SDL_CreateRenderer(impl->window, -1, 0);
  if (impl->renderer == nullptr) {
    std::cerr << "corvel: no window: " << SDL_GetError() << "\n";
    return nullptr;
  }
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  SDL_SetRenderDrawColor(impl->renderer, 0, 0, 0, 255);
  SDL_RenderClear(impl->renderer);
  SDL_RenderPresent(impl->renderer);
  return std::unique_ptr<ViewerWindow>(new ViewerWindow(std::move(impl)));
}

ViewerWindow::ViewerWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ViewerWindow::~ViewerWindow() = default;

void ViewerWindow::show(const DecodedPicture& picture) {
  auto& s = *impl_;
  if (picture.layout == DecodedPicture::Layout::other) return;
  if (s.texture == nullptr || picture.width != s.width || picture.height != s.height ||
      picture.layout != s.layout) {
    if (s.texture != nullptr) SDL_DestroyTexture(s.texture);
    const Uint32 format =
        picture.layout == DecodedPicture::Layout::nv12 ? SDL_PIXELFORMAT_NV12 : SDL_PIXELFORMAT_IYUV;
    s.texture = SDL_CreateTexture(s.renderer, format, SDL_TEXTUREACCESS_STREAMING, picture.width,
                                  picture.height);
    if (s.texture == nullptr) {
      std::cerr << "corvel: can't show the picture: " << SDL_GetError() << "\n";
      return;
    }
    s.width = picture.width;
    s.height = picture.height;
    s.layout = picture.layout;
    // Letterboxing keeps the aspect ratio and maps pointer positions back to picture pixels.
    SDL_RenderSetLogicalSize(s.renderer, s.width, s.height);
  }
  // The planes are uploaded straight from the decoder's buffers.
  if (picture.layout == DecodedPicture::Layout::nv12) {
    SDL_UpdateNVTexture(s.texture, nullptr, picture.planes[0], picture.strides[0], picture.planes[1],
                        picture.strides[1]);
  } else {
    SDL_UpdateYUVTexture(s.texture, nullptr, picture.planes[0], picture.strides[0], picture.planes[1],
                         picture.strides[1], picture.planes[2], picture.strides[2]);
  }
  SDL_RenderClear(s.renderer);
  SDL_RenderCopy(s.renderer, s.texture, nullptr, nullptr);
  SDL_RenderPresent(s.renderer);
}

bool ViewerWindow::pump() {
  auto& s = *impl_;
  auto send = [&](const InputEvent& event) {
    if (onInput) onInput(event);
  };
  SDL_Event e;
  while (SDL_PollEvent(&e) != 0) {
    switch (e.type) {
      case SDL_QUIT:
        return false;
      case SDL_MOUSEMOTION:
        if (auto at = s.fraction(e.motion.x, e.motion.y)) send(InputEvent::MouseMove{at->first, at->second});
        break;
      case SDL_MOUSEBUTTONDOWN:
      case SDL_MOUSEBUTTONUP:
        if (auto at = s.fraction(e.button.x, e.button.y)) {
          send(InputEvent::MouseButtonChange{buttonOf(e.button.button), e.type == SDL_MOUSEBUTTONDOWN,
                                             at->first, at->second});
        }
        break;
      case SDL_MOUSEWHEEL: {
        const int flip = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1 : 1;
        send(InputEvent::Scroll{static_cast<double>(e.wheel.x * flip), static_cast<double>(e.wheel.y * flip)});
        break;
      }
      case SDL_KEYDOWN:
      case SDL_KEYUP:
        // Keys that type text arrive as text below; the rest (and every key with Control or
        // Command held, which types nothing) go as key codes.
        if (auto code = input::KeyMap::macCode(static_cast<int>(e.key.keysym.scancode))) {
          const std::uint64_t flags = flagsOf(e.key.keysym.mod);
          const bool typesText = SDL_IsTextInputActive() == SDL_TRUE &&
                                 (flags & (protocol::ModifierBits::control | protocol::ModifierBits::command)) == 0 &&
                                 e.key.keysym.sym >= SDLK_SPACE && e.key.keysym.sym < SDLK_DELETE;
          if (!typesText) send(InputEvent::Key{*code, e.type == SDL_KEYDOWN, flags});
        }
        break;
      case SDL_TEXTINPUT:
        send(InputEvent::Text{e.text.text});
        break;
      case SDL_WINDOWEVENT:
        if (e.window.event == SDL_WINDOWEVENT_EXPOSED && s.texture != nullptr) {
          SDL_RenderClear(s.renderer);
          SDL_RenderCopy(s.renderer, s.texture, nullptr, nullptr);
          SDL_RenderPresent(s.renderer);
        }
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace corvel::tool
