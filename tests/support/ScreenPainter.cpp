#include "tests/support/ScreenPainter.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "CorvelKit/media/DecodedPicture.h"
#include "tests/support/ScrollingPage.h"

namespace corvel::test {

struct ScreenPainter::Impl {
  Display* display = nullptr;
  std::vector<Window> fills;
  std::vector<Window> patterns;
  GC gc = nullptr;
  // The scrolling page's window, and the offset it shows.
  struct Scroll {
    Window window = 0;
    GC gc = nullptr;  // without exposure events for its copies
    int width = 0, height = 0, offset = 0;
    std::unique_ptr<ScrollingPage> page;
  } scroll;
};

ScreenPainter::ScreenPainter(const std::string& displayName) : impl_(std::make_unique<Impl>()) {
  impl_->display = XOpenDisplay(displayName.c_str());
}

ScreenPainter::~ScreenPainter() {
  if (impl_->display == nullptr) return;
  if (impl_->gc != nullptr) XFreeGC(impl_->display, impl_->gc);
  if (impl_->scroll.gc != nullptr) XFreeGC(impl_->display, impl_->scroll.gc);
  if (impl_->scroll.window != 0) XDestroyWindow(impl_->display, impl_->scroll.window);
  for (Window w : impl_->fills) XDestroyWindow(impl_->display, w);
  for (Window w : impl_->patterns) XDestroyWindow(impl_->display, w);
  XCloseDisplay(impl_->display);
}

bool ScreenPainter::isConnected() const { return impl_->display != nullptr; }

namespace {

Window topWindow(Display* d, int x, int y, int width, int height, unsigned long background) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = background;
  const Window w = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(width),
                                 static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(d, w);
  return w;
}

}  // namespace

void ScreenPainter::fill(int x, int y, int width, int height, std::uint32_t rgb) {
  if (!isConnected()) return;
  impl_->fills.push_back(topWindow(impl_->display, x, y, width, height, rgb));
  XSync(impl_->display, False);
}

void ScreenPainter::noise(int x, int y, int width, int height, std::uint32_t seed) {
  if (!isConnected()) return;
  Display* d = impl_->display;
  const Window w = topWindow(d, x, y, width, height, 0);
  impl_->patterns.push_back(w);
  if (impl_->gc == nullptr) impl_->gc = XCreateGC(d, w, 0, nullptr);

  // 32-bit pixels for the default 24-bit visual; a small xorshift keeps this cheap.
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  std::uint32_t s = seed * 2654435761u + 1;
  for (auto& p : pixels) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    p = s & 0xFFFFFFu;
  }
  XImage* image = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(width),
                               static_cast<unsigned>(height), 32, 0);
  XPutImage(d, w, impl_->gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
  image->data = nullptr;  // the vector owns the pixels
  XDestroyImage(image);
  XSync(d, False);
  // Earlier pattern windows lie underneath; drop them so the server doesn't keep piling up.
  while (impl_->patterns.size() > 4) {
    XDestroyWindow(d, impl_->patterns.front());
    impl_->patterns.erase(impl_->patterns.begin());
  }
}

void ScreenPainter::scrolledPage(int x, int y, int width, int height, int offset) {
  if (!isConnected()) return;
  Display* d = impl_->display;
  auto& s = impl_->scroll;
  // Page rows [from, from + count) into the window's rows from `at` on.
  const auto put = [&](int at, int from, int count) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(count));
    s.page->copy(pixels.data(), width, count, from);
    XImage* image = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels.data()), static_cast<unsigned>(width),
                                 static_cast<unsigned>(count), 32, 0);
    XPutImage(d, s.window, s.gc, image, 0, 0, 0, at, static_cast<unsigned>(width), static_cast<unsigned>(count));
    image->data = nullptr;  // the vector owns the pixels
    XDestroyImage(image);
  };
  if (s.window == 0 || s.width != width || s.height != height) {
    if (s.window != 0) XDestroyWindow(d, s.window);
    s.window = topWindow(d, x, y, width, height, 0);
    if (s.gc == nullptr) {
      XGCValues values{};
      values.graphics_exposures = False;
      s.gc = XCreateGC(d, s.window, GCGraphicsExposures, &values);
    }
    s.width = width;
    s.height = height;
    s.page = std::make_unique<ScrollingPage>(width);
    put(0, offset, height);
  } else if (const int step = offset - s.offset; step > 0 && step < height) {
    XCopyArea(d, s.window, s.window, s.gc, 0, step, static_cast<unsigned>(width), static_cast<unsigned>(height - step),
              0, 0);
    put(height - step, offset + height - step, step);
  } else if (step != 0) {
    put(0, offset, height);
  }
  s.offset = offset;
  XSync(d, False);
}

std::uint32_t ScreenPainter::pixel(int x, int y) const {
  if (!isConnected()) return 0xFFFFFFFFu;
  Display* d = impl_->display;
  XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
  if (image == nullptr) return 0xFFFFFFFFu;
  const auto value = static_cast<std::uint32_t>(XGetPixel(image, 0, 0) & 0xFFFFFF);
  XDestroyImage(image);
  return value;
}

void ScreenPainter::movePointer(int x, int y) {
  if (!isConnected()) return;
  XTestFakeMotionEvent(impl_->display, DefaultScreen(impl_->display), x, y, CurrentTime);
  XSync(impl_->display, False);
}

std::pair<int, int> ScreenPainter::pointer() const {
  if (!isConnected()) return {-1, -1};
  Display* d = impl_->display;
  Window root = 0, child = 0;
  int rootX = -1, rootY = -1, winX = 0, winY = 0;
  unsigned mask = 0;
  XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
  return {rootX, rootY};
}

namespace {

std::uint32_t rgbFromYCbCr(int y, int cb, int cr) {
  const double c = 1.164 * (y - 16);
  const double d = cb - 128;
  const double e = cr - 128;
  auto clamp = [](double v) { return static_cast<std::uint32_t>(std::clamp(v + 0.5, 0.0, 255.0)); };
  return clamp(c + 1.596 * e) << 16 | clamp(c - 0.392 * d - 0.813 * e) << 8 | clamp(c + 2.017 * d);
}

}  // namespace

std::uint32_t rgbAt(const media::DecodedPicture& picture, int x, int y) {
  using Layout = media::DecodedPicture::Layout;
  const auto row = [&](int plane, int line) {
    return picture.planes[static_cast<std::size_t>(plane)] +
           static_cast<std::ptrdiff_t>(line) * picture.strides[static_cast<std::size_t>(plane)];
  };
  const int luma = row(0, y)[x];
  if (picture.layout == Layout::yuv420p) return rgbFromYCbCr(luma, row(1, y / 2)[x / 2], row(2, y / 2)[x / 2]);
  if (picture.layout == Layout::nv12) {
    const std::uint8_t* chroma = row(1, y / 2) + (x / 2) * 2;
    return rgbFromYCbCr(luma, chroma[0], chroma[1]);
  }
  return 0xFFFFFFFFu;  // a layout this doesn't read: matches no colour
}

int colourDistance(std::uint32_t a, std::uint32_t b) {
  int most = 0;
  for (int shift : {0, 8, 16}) {
    most = std::max(most, std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)));
  }
  return most;
}

}  // namespace corvel::test
