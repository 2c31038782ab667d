#include "tests/support/TextWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace corvel::test {

struct TextWindow::Impl {
  Display* display = nullptr;
  Window window = 0;
  Pixmap picture = 0;
  int width = 0, height = 0;
};

TextWindow::TextWindow(const std::string& displayName, int x, int y, const std::string& text, int scale)
    : impl_(std::make_unique<Impl>()) {
  auto& m = *impl_;
  m.display = XOpenDisplay(displayName.c_str());
  if (m.display == nullptr) return;
  Display* d = m.display;
  XFontStruct* font = XLoadQueryFont(d, "fixed");
  if (font == nullptr) return;
  const int w = XTextWidth(font, text.c_str(), static_cast<int>(text.size())) + 4;
  const int h = font->ascent + font->descent + 4;
  const int screen = DefaultScreen(d);
  const Window root = RootWindow(d, screen);
  const auto depth = static_cast<unsigned>(DefaultDepth(d, screen));
  const unsigned long black = BlackPixel(d, screen), white = WhitePixel(d, screen);

  // The text at its own size…
  Pixmap small = XCreatePixmap(d, root, static_cast<unsigned>(w), static_cast<unsigned>(h), depth);
  GC gc = XCreateGC(d, small, 0, nullptr);
  XSetFont(d, gc, font->fid);
  XSetForeground(d, gc, white);
  XFillRectangle(d, small, gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XSetForeground(d, gc, black);
  XDrawString(d, small, gc, 2, 2 + font->ascent, text.c_str(), static_cast<int>(text.size()));
  XImage* from = XGetImage(d, small, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), AllPlanes, ZPixmap);

  // …enlarged pixel by pixel into the window's background.
  m.width = w * scale;
  m.height = h * scale;
  m.picture = XCreatePixmap(d, root, static_cast<unsigned>(m.width), static_cast<unsigned>(m.height), depth);
  for (int py = 0; py < h; ++py) {
    for (int px = 0; px < w; ++px) {
      XSetForeground(d, gc, XGetPixel(from, px, py));
      XFillRectangle(d, m.picture, gc, px * scale, py * scale, static_cast<unsigned>(scale), static_cast<unsigned>(scale));
    }
  }
  XDestroyImage(from);
  XFreeGC(d, gc);
  XFreePixmap(d, small);
  XFreeFont(d, font);

  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixmap = m.picture;
  m.window = XCreateWindow(d, root, x, y, static_cast<unsigned>(m.width), static_cast<unsigned>(m.height), 0,
                           CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixmap,
                           &attributes);
  XMapRaised(d, m.window);
  XSync(d, False);
}

TextWindow::~TextWindow() {
  if (impl_->display == nullptr) return;
  if (impl_->window != 0) XDestroyWindow(impl_->display, impl_->window);
  if (impl_->picture != 0) XFreePixmap(impl_->display, impl_->picture);
  XCloseDisplay(impl_->display);
}

bool TextWindow::isShown() const { return impl_->window != 0; }
int TextWindow::width() const { return impl_->width; }
int TextWindow::height() const { return impl_->height; }

void TextWindow::activate(const std::string& instance, const std::string& applicationClass) {
  auto& m = *impl_;
  if (m.window == 0) return;
  std::string wmClass = instance;
  wmClass += '\0';
  wmClass += applicationClass;
  wmClass += '\0';
  XChangeProperty(m.display, m.window, XA_WM_CLASS, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(wmClass.data()), static_cast<int>(wmClass.size()));
  const Atom active = XInternAtom(m.display, "_NET_ACTIVE_WINDOW", False);
  Window w = m.window;
  XChangeProperty(m.display, DefaultRootWindow(m.display), active, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&w), 1);
  XSync(m.display, False);
}

}  // namespace corvel::test
