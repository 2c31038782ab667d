// wayland_probe: a tiny Wayland client for the tests. It shows one window filled with a colour and
// reports on standard output, a line each (flushed), what reaches it:
//   ready                      the first frame is on screen
//   enter                      the pointer came in
//   motion X Y                 surface coordinates
//   button CODE pressed|released   evdev button code
//   axis V|H VALUE
//   key TEXT                   a key press that types TEXT; key <KEYSYM-NAME> for the others
// Usage: wayland_probe --colour RRGGBB [--fullscreen] [--scroll] [--arrow]. With --scroll the window
// shows a page of text-like lines instead that scrolls up 4 rows at a time, 60 times a second.
// With --arrow the pointer shows a small arrow of the probe's own over the window (black edge,
// white inside, the tip at its hotspot), as an ordinary client sets one; without it the probe sets
// no cursor, and the compositor shows none over the window.
// Ends on end of standard input or SIGTERM.

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/ScrollingPage.h"
#include "xdg-shell-client-protocol.h"

namespace {

volatile sig_atomic_t terminated = 0;

struct Probe {
  wl_display* display = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_seat* seat = nullptr;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffer = nullptr;
  wl_surface* cursorSurface = nullptr;
  std::uint32_t colour = 0;
  bool fullscreen = false;
  bool arrow = false;
  int width = 800, height = 600;
  int bufferWidth = 0, bufferHeight = 0;
  bool announced = false;
  // Scrolling: a few buffers in one shared-memory pool, each free again once released.
  bool scroll = false;
  int offset = 0;
  struct Slot {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    bool busy = false;
  };
  Slot slots[3];
  void* poolData = nullptr;
  std::size_t poolSize = 0;
  std::unique_ptr<corvel::test::ScrollingPage> page;
  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
};

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

const wl_buffer_listener kSlotReleased = {
    [](void* data, wl_buffer*) { static_cast<Probe::Slot*>(data)->busy = false; },
};

// The next step of the scrolling page into a free buffer; false when all are still in use.
bool drawScrolled(Probe& p) {
  if (p.page == nullptr || p.bufferWidth != p.width || p.bufferHeight != p.height) {
    for (auto& slot : p.slots) {
      if (slot.buffer != nullptr) wl_buffer_destroy(slot.buffer);
      slot = {};
    }
    if (p.poolData != nullptr) munmap(p.poolData, p.poolSize);
    const int stride = p.width * 4;
    const std::size_t one = static_cast<std::size_t>(stride) * static_cast<std::size_t>(p.height);
    p.poolSize = one * 3;
    const int fd = memfd_create("wayland-probe", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(p.poolSize)) != 0) std::exit(2);
    p.poolData = mmap(nullptr, p.poolSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p.poolData == MAP_FAILED) std::exit(2);
    wl_shm_pool* pool = wl_shm_create_pool(p.shm, fd, static_cast<std::int32_t>(p.poolSize));
    for (int i = 0; i < 3; ++i) {
      auto& slot = p.slots[i];
      auto* bytes = static_cast<std::uint8_t*>(p.poolData) + one * static_cast<std::size_t>(i);
      slot.pixels = reinterpret_cast<std::uint32_t*>(bytes);
      slot.buffer = wl_shm_pool_create_buffer(pool, static_cast<std::int32_t>(one) * i, p.width, p.height, stride,
                                              WL_SHM_FORMAT_XRGB8888);
      wl_buffer_add_listener(slot.buffer, &kSlotReleased, &slot);
    }
    wl_shm_pool_destroy(pool);
    close(fd);
    p.page = std::make_unique<corvel::test::ScrollingPage>(p.width);
    p.bufferWidth = p.width;
    p.bufferHeight = p.height;
  }
  for (auto& slot : p.slots) {
    if (slot.busy) continue;
    p.page->copy(slot.pixels, p.width, p.height, p.offset);
    slot.busy = true;
    wl_surface_attach(p.surface, slot.buffer, 0, 0);
    wl_surface_damage_buffer(p.surface, 0, 0, p.width, p.height);
    return true;
  }
  return false;
}

void draw(Probe& p) {
  if (p.scroll) {
    (void)drawScrolled(p);
    return;
  }
  if (p.buffer == nullptr || p.bufferWidth != p.width || p.bufferHeight != p.height) {
    if (p.buffer != nullptr) wl_buffer_destroy(p.buffer);
    const int stride = p.width * 4;
    const std::size_t size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(p.height);
    const int fd = memfd_create("wayland-probe", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) std::exit(2);
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) std::exit(2);
    auto* pixels = static_cast<std::uint32_t*>(data);
    for (std::size_t i = 0; i < size / 4; ++i) pixels[i] = 0xFF000000u | p.colour;
    munmap(data, size);
    wl_shm_pool* pool = wl_shm_create_pool(p.shm, fd, static_cast<std::int32_t>(size));
    p.buffer = wl_shm_pool_create_buffer(pool, 0, p.width, p.height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    p.bufferWidth = p.width;
    p.bufferHeight = p.height;
  }
  wl_surface_attach(p.surface, p.buffer, 0, 0);
  wl_surface_damage_buffer(p.surface, 0, 0, p.width, p.height);
}

const wl_callback_listener kFrameDone = {
    [](void* data, wl_callback* callback, std::uint32_t) {
      wl_callback_destroy(callback);
      auto* p = static_cast<Probe*>(data);
      if (!p->announced) {
        p->announced = true;
        say("ready");
      }
    },
};

const xdg_wm_base_listener kWmBase = {
    [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); },
};

const xdg_surface_listener kXdgSurface = {
    [](void* data, xdg_surface* surface, std::uint32_t serial) {
      auto* p = static_cast<Probe*>(data);
      xdg_surface_ack_configure(surface, serial);
      draw(*p);
      if (!p->announced) wl_callback_add_listener(wl_surface_frame(p->surface), &kFrameDone, p);
      wl_surface_commit(p->surface);
    },
};

const xdg_toplevel_listener kToplevel = {
    [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
      auto* p = static_cast<Probe*>(data);
      if (width > 0 && height > 0) {
        p->width = width;
        p->height = height;
      }
    },
    [](void*, xdg_toplevel*) { terminated = 1; },
    [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
    [](void*, xdg_toplevel*, wl_array*) {},
};

// The arrow: 12 × 18, opaque inside a triangle with its tip at (0, 0), outlined in black.
constexpr int kArrowWidth = 12, kArrowHeight = 18;

wl_surface* arrowSurface(Probe& p) {
  if (p.cursorSurface != nullptr) return p.cursorSurface;
  const int stride = kArrowWidth * 4;
  const std::size_t size = static_cast<std::size_t>(stride) * kArrowHeight;
  const int fd = memfd_create("wayland-probe-cursor", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) std::exit(2);
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) std::exit(2);
  auto* pixels = static_cast<std::uint32_t*>(data);
  const auto inside = [](int x, int y) { return y < kArrowHeight - 2 && x <= y * 2 / 3; };
  for (int y = 0; y < kArrowHeight; ++y) {
    for (int x = 0; x < kArrowWidth; ++x) {
      std::uint32_t pixel = 0;  // transparent
      if (inside(x, y)) {
        const bool edge = x == 0 || !inside(x + 1, y) || !inside(x, y + 1) || (y > 0 && !inside(x, y - 1));
        pixel = edge ? 0xFF000000u : 0xFFFFFFFFu;
      }
      pixels[y * kArrowWidth + x] = pixel;
    }
  }
  munmap(data, size);
  wl_shm_pool* pool = wl_shm_create_pool(p.shm, fd, static_cast<std::int32_t>(size));
  wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, kArrowWidth, kArrowHeight, stride, WL_SHM_FORMAT_ARGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  p.cursorSurface = wl_compositor_create_surface(p.compositor);
  wl_surface_attach(p.cursorSurface, buffer, 0, 0);
  wl_surface_damage_buffer(p.cursorSurface, 0, 0, kArrowWidth, kArrowHeight);
  wl_surface_commit(p.cursorSurface);
  return p.cursorSurface;
}

const wl_pointer_listener kPointer = {
    [](void* data, wl_pointer* pointer, std::uint32_t serial, wl_surface*, wl_fixed_t, wl_fixed_t) {
      auto* p = static_cast<Probe*>(data);
      if (p->arrow) wl_pointer_set_cursor(pointer, serial, arrowSurface(*p), 0, 0);
      say("enter");
    },
    [](void*, wl_pointer*, std::uint32_t, wl_surface*) {},
    [](void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
      say("motion " + std::to_string(wl_fixed_to_int(x)) + " " + std::to_string(wl_fixed_to_int(y)));
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button, std::uint32_t state) {
      say("button " + std::to_string(button) + (state == WL_POINTER_BUTTON_STATE_PRESSED ? " pressed" : " released"));
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
      char text[64];
      std::snprintf(text, sizeof text, "axis %s %g", axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "V" : "H",
                    wl_fixed_to_double(value));
      say(text);
    },
    [](void*, wl_pointer*) {},
    [](void*, wl_pointer*, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
};

const wl_keyboard_listener kKeyboard = {
    [](void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
      auto* p = static_cast<Probe*>(data);
      if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        close(fd);
        return;
      }
      void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      close(fd);
      if (text == MAP_FAILED) return;
      xkb_keymap* keymap = xkb_keymap_new_from_buffer(p->xkb, static_cast<const char*>(text), strnlen(static_cast<const char*>(text), size),
                                                      XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
      munmap(text, size);
      if (keymap == nullptr) return;
      if (p->state != nullptr) xkb_state_unref(p->state);
      if (p->keymap != nullptr) xkb_keymap_unref(p->keymap);
      p->keymap = keymap;
      p->state = xkb_state_new(keymap);
    },
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
      auto* p = static_cast<Probe*>(data);
      if (p->state == nullptr || state != WL_KEYBOARD_KEY_STATE_PRESSED) return;
      char text[64] = {};
      xkb_state_key_get_utf8(p->state, key + 8, text, sizeof text);
      const auto first = static_cast<unsigned char>(text[0]);
      if (first >= 0x20 && first != 0x7F) {
        say(std::string("key ") + text);
        return;
      }
      char name[64] = {};
      xkb_keysym_get_name(xkb_state_key_get_one_sym(p->state, key + 8), name, sizeof name);
      say(std::string("key <") + name + ">");
    },
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked,
       std::uint32_t group) {
      auto* p = static_cast<Probe*>(data);
      if (p->state != nullptr) xkb_state_update_mask(p->state, depressed, latched, locked, 0, 0, group);
    },
    [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
};

const wl_seat_listener kSeat = {
    [](void* data, wl_seat* seat, std::uint32_t capabilities) {
      auto* p = static_cast<Probe*>(data);
      if ((capabilities & WL_SEAT_CAPABILITY_POINTER) != 0 && p->pointer == nullptr) {
        p->pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(p->pointer, &kPointer, p);
      }
      if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && p->keyboard == nullptr) {
        p->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(p->keyboard, &kKeyboard, p);
      }
    },
    [](void*, wl_seat*, const char*) {},
};

const wl_registry_listener kRegistry = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
      auto* p = static_cast<Probe*>(data);
      const std::string i = interface;
      if (i == wl_compositor_interface.name) {
        p->compositor = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
      } else if (i == wl_shm_interface.name) {
        p->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
      } else if (i == xdg_wm_base_interface.name) {
        p->wmBase = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(p->wmBase, &kWmBase, p);
      } else if (i == wl_seat_interface.name && p->seat == nullptr) {
        p->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
        wl_seat_add_listener(p->seat, &kSeat, p);
      }
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

}  // namespace

int main(int argc, char** argv) {
  Probe p;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--colour" && i + 1 < argc) {
      p.colour = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 16)) & 0xFFFFFF;
    } else if (a == "--fullscreen") {
      p.fullscreen = true;
    } else if (a == "--scroll") {
      p.scroll = true;
    } else if (a == "--arrow") {
      p.arrow = true;
    } else {
      std::fprintf(stderr, "usage: wayland_probe --colour RRGGBB [--fullscreen] [--scroll] [--arrow]\n");
      return 64;
    }
  }
  struct sigaction action = {};
  action.sa_handler = [](int) { terminated = 1; };
  sigaction(SIGTERM, &action, nullptr);

  p.display = wl_display_connect(nullptr);
  if (p.display == nullptr) {
    std::fprintf(stderr, "wayland_probe: no compositor\n");
    return 1;
  }
  wl_registry_add_listener(wl_display_get_registry(p.display), &kRegistry, &p);
  wl_display_roundtrip(p.display);
  if (p.compositor == nullptr || p.shm == nullptr || p.wmBase == nullptr) {
    std::fprintf(stderr, "wayland_probe: the compositor lacks xdg-shell or shared memory\n");
    return 1;
  }
  p.surface = wl_compositor_create_surface(p.compositor);
  p.xdgSurface = xdg_wm_base_get_xdg_surface(p.wmBase, p.surface);
  xdg_surface_add_listener(p.xdgSurface, &kXdgSurface, &p);
  p.toplevel = xdg_surface_get_toplevel(p.xdgSurface);
  xdg_toplevel_add_listener(p.toplevel, &kToplevel, &p);
  xdg_toplevel_set_title(p.toplevel, "wayland_probe");
  if (p.fullscreen) xdg_toplevel_set_fullscreen(p.toplevel, nullptr);
  wl_surface_commit(p.surface);

  // The scrolling page's clock: 60 steps a second.
  const int ticker = p.scroll ? timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK) : -1;
  if (ticker >= 0) {
    itimerspec every{{0, 16'666'667}, {0, 16'666'667}};
    timerfd_settime(ticker, 0, &every, nullptr);
  }

  while (terminated == 0) {
    while (wl_display_prepare_read(p.display) != 0) wl_display_dispatch_pending(p.display);
    wl_display_flush(p.display);
    pollfd fds[3] = {{wl_display_get_fd(p.display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {ticker, POLLIN, 0}};
    const int ready = poll(fds, ticker >= 0 ? 3 : 2, -1);
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      if (wl_display_read_events(p.display) < 0) break;
    } else {
      wl_display_cancel_read(p.display);
    }
    if (ready < 0 && errno != EINTR) break;
    if (wl_display_dispatch_pending(p.display) < 0) break;
    if (ready > 0 && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    if (ready > 0 && ticker >= 0 && (fds[2].revents & POLLIN) != 0) {
      std::uint64_t ticks = 0;
      if (read(ticker, &ticks, sizeof ticks) < 0) ticks = 0;
      // A step waits while every buffer is still with the compositor; the page moves on regardless.
      p.offset += 4 * static_cast<int>(ticks);
      if (p.announced && drawScrolled(p)) wl_surface_commit(p.surface);
    }
  }
  wl_display_disconnect(p.display);
  return 0;
}
