#include "Ambrel_Host/capture/X11ScreenCapturer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/CaptureExclusionList.h"
#include "Ambrel_Host/capture/CursorBlend.h"
#include "Ambrel_Host/capture/FrameConverter.h"
#include "Ambrel_Host/capture/FrameSize.h"
#include "Ambrel_Host/capture/XcbHandles.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"

namespace ambrel {

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kMonitorCheckInterval = std::chrono::seconds(1);
// A change on a screen that has been quiet for a frame interval is captured this long after its
// first damage, instead of at the next beat: time for the rest of the same redraw to land.
constexpr auto kSettleTime = std::chrono::milliseconds(2);

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool intersects(const Rect& o) const {
    return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
  }
};

Rect rectOf(const ScreenDisplay& d) { return {d.x, d.y, d.width, d.height}; }

// The rows of the captured area that must be read again, [first, end) from its top.
struct RowBand {
  int first = 0, end = 0;

  bool empty() const { return end <= first; }
  // Widens the band by the rows of `r` (screen coordinates) that lie in `area`.
  void add(const Rect& area, const Rect& r) {
    if (!area.intersects(r)) return;
    const int top = std::max(r.y, area.y) - area.y;
    const int bottom = std::min(r.y + r.height, area.y + area.height) - area.y;
    if (empty()) {
      first = top;
      end = bottom;
    } else {
      first = std::min(first, top);
      end = std::max(end, bottom);
    }
  }
};

// A shared-memory image the server writes into: memfd (MIT-SHM 1.2) or System V segment.
struct ShmImage {
  xcb_shm_seg_t segment = 0;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool systemV = false;
  bool attached = false;

  void release(xcb_connection_t* c) {
    if (attached) xcb_shm_detach(c, segment);
    attached = false;
    if (data != nullptr) {
      if (systemV) {
        ::shmdt(data);
      } else {
        ::munmap(data, size);
      }
    }
    data = nullptr;
    size = 0;
  }

  [[nodiscard]] bool allocate(xcb_connection_t* c, std::size_t bytes, bool useFd) {
    release(c);
    size = bytes;
    segment = xcb_generate_id(c);
    if (useFd) {
      systemV = false;
      const int fd = ::memfd_create("ambrel-capture", MFD_CLOEXEC);
      if (fd < 0) return false;
      if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        ::close(fd);
        return false;
      }
      void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p == MAP_FAILED) {
        ::close(fd);
        return false;
      }
      data = static_cast<std::uint8_t*>(p);
      // XCB sends the descriptor and closes it.
      XcbReply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, fd, 0)));
      attached = !error;
      return attached;
    }
    systemV = true;
    const int id = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* p = ::shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
      ::shmctl(id, IPC_RMID, nullptr);
      return false;
    }
    data = static_cast<std::uint8_t*>(p);
    XcbReply<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id), 0)));
    ::shmctl(id, IPC_RMID, nullptr);  // gone once both sides detach
    attached = !error;
    return attached;
  }
};

struct Cursor {
  std::vector<std::uint32_t> pixels;
  int width = 0, height = 0, hotX = 0, hotY = 0;
};

}  // namespace

struct X11ScreenCapturer::Session {
  XcbScreen screen;
  std::uint32_t displayID = 0;
  ScreenDisplay display;
  bool shmFd = false;
  std::uint8_t damageEvent = 0;
  std::uint8_t xfixesEvent = 0;
  std::uint8_t randrEvent = 0;
  xcb_damage_damage_t damage = 0;
  xcb_xfixes_region_t region = 0;
  ShmImage image;
  Cursor cursor;
  FrameConverter converter;

  xcb_connection_t* c() const { return screen.connection.get(); }

  ~Session() {
    if (screen.connection && xcb_connection_has_error(c()) == 0) {
      image.release(c());
      if (damage != 0) xcb_damage_destroy(c(), damage);
      if (region != 0) xcb_xfixes_destroy_region(c(), region);
      xcb_flush(c());
    } else if (image.data != nullptr) {
      image.attached = false;
      image.release(c());
    }
  }
};

// What the capture thread shares with the capturer; the thread holds it, so it outlives the
// capturer when a handler destroys it.
struct X11ScreenCapturer::Shared {
  std::atomic<int> fps{60};
  std::atomic<int> maxWidth{0};

  // Wakes the capture thread's wait for a change of settings or a stop.
  corvel::UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  void notify() const {
    const std::uint64_t one = 1;
    if (wake) (void)!::write(wake.get(), &one, sizeof one);
  }

  std::mutex mutex;  // guards the fields below, never held while a handler runs
  // Copied out under the lock and called after it: a handler replaced meanwhile finishes its call.
  std::shared_ptr<const FrameHandler> onFrame;
  std::shared_ptr<const StopHandler> onStop;
};

// One running capture, held by its thread and (until stop()) the capturer.
struct X11ScreenCapturer::Run {
  std::unique_ptr<Session> session;
  bool stopping = false;  // under Shared::mutex
};

namespace {

// Checks the extensions and the pixel format and sets up damage, cursor and RandR events.
std::error_code prepare(X11ScreenCapturer::Session& s) {
  xcb_connection_t* c = s.c();
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_damage_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  const auto* shm = xcb_get_extension_data(c, &xcb_shm_id);
  const auto* damage = xcb_get_extension_data(c, &xcb_damage_id);
  const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  const auto* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (shm == nullptr || !shm->present || damage == nullptr || !damage->present || xfixes == nullptr ||
      !xfixes->present || randr == nullptr || !randr->present) {
    return CaptureErrc::extensionMissing;
  }
  s.damageEvent = damage->first_event;
  s.xfixesEvent = xfixes->first_event;
  s.randrEvent = randr->first_event;

  auto shmVersionCookie = xcb_shm_query_version(c);
  auto xfixesVersionCookie = xcb_xfixes_query_version(c, 5, 0);
  auto damageVersionCookie = xcb_damage_query_version(c, 1, 1);
  XcbReply<xcb_shm_query_version_reply_t> shmVersion(xcb_shm_query_version_reply(c, shmVersionCookie, nullptr));
  XcbReply<xcb_xfixes_query_version_reply_t> xfixesVersion(
      xcb_xfixes_query_version_reply(c, xfixesVersionCookie, nullptr));
  XcbReply<xcb_damage_query_version_reply_t> damageVersion(
      xcb_damage_query_version_reply(c, damageVersionCookie, nullptr));
  if (!shmVersion || !xfixesVersion || !damageVersion) return CaptureErrc::connectionLost;
  if (xfixesVersion->major_version < 2) return CaptureErrc::extensionMissing;
  s.shmFd = shmVersion->major_version > 1 || (shmVersion->major_version == 1 && shmVersion->minor_version >= 2);

  // 24- or 32-bit true colour stored as 32-bit little-endian pixels: B, G, R, X in memory.
  const xcb_setup_t* setup = xcb_get_setup(c);
  bool format32 = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == s.screen.rootDepth) format32 = it.data->bits_per_pixel == 32;
  }
  if (!format32 || (s.screen.rootDepth != 24 && s.screen.rootDepth != 32) ||
      setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    return CaptureErrc::unsupportedPixelFormat;
  }

  s.damage = xcb_generate_id(c);
  xcb_damage_create(c, s.damage, s.screen.root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  s.region = xcb_generate_id(c);
  xcb_xfixes_create_region(c, s.region, 0, nullptr);
  xcb_xfixes_select_cursor_input(c, s.screen.root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  xcb_randr_select_input(c, s.screen.root,
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  xcb_flush(c);
  return {};
}

std::size_t imageBytes(const ScreenDisplay& d) {
  return static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height) * 4;
}

// Whether any damaged rectangle since the last call touches `area`; clears the damage and widens
// `rows` by the damaged rectangles.
bool takeDamage(X11ScreenCapturer::Session& s, const Rect& area, RowBand& rows) {
  xcb_connection_t* c = s.c();
  xcb_damage_subtract(c, s.damage, XCB_NONE, s.region);
  XcbReply<xcb_xfixes_fetch_region_reply_t> reply(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, s.region), nullptr));
  if (!reply) return false;
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(reply.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
  bool touched = false;
  for (int i = 0; i < count; ++i) {
    const Rect r{rects[i].x, rects[i].y, rects[i].width, rects[i].height};
    if (!area.intersects(r)) continue;
    rows.add(area, r);
    touched = true;
  }
  return touched;
}

void fetchCursor(X11ScreenCapturer::Session& s) {
  xcb_connection_t* c = s.c();
  XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!reply) return;
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
  const int count = reply->width * reply->height;
  if (pixels == nullptr || length < count) return;
  s.cursor.pixels.assign(pixels, pixels + count);
  s.cursor.width = reply->width;
  s.cursor.height = reply->height;
  s.cursor.hotX = reply->xhot;
  s.cursor.hotY = reply->yhot;
}

}  // namespace

std::unique_ptr<ScreenCapturer> ScreenCapturer::create(std::string displayName) {
  return std::make_unique<X11ScreenCapturer>(std::move(displayName));
}

X11ScreenCapturer::X11ScreenCapturer(std::string displayName)
    : displayName_(std::move(displayName)), shared_(std::make_shared<Shared>()) {}

X11ScreenCapturer::~X11ScreenCapturer() { stop(); }

void X11ScreenCapturer::setFrameHandler(FrameHandler handler) {
  auto next = handler ? std::make_shared<const FrameHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onFrame.swap(next);
}

void X11ScreenCapturer::setStopHandler(StopHandler handler) {
  auto next = handler ? std::make_shared<const StopHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onStop.swap(next);
}

void X11ScreenCapturer::setFrameRate(int fps) {
  shared_->fps = std::max(1, fps);
  shared_->notify();
}

void X11ScreenCapturer::setMaxWidth(int maxWidth) { shared_->maxWidth = maxWidth; }

std::error_code X11ScreenCapturer::start(std::uint32_t displayID, int maxWidth, int fps) {
  stop();
  shared_->fps = std::max(1, fps);
  shared_->maxWidth = maxWidth;
  excluded_ = CaptureExclusionList::current();

  auto screen = connectToX(displayName_);
  if (!screen) return screen.error();
  auto session = std::make_unique<Session>();
  session->screen = std::move(*screen);
  session->displayID = displayID;
  if (auto error = prepare(*session)) return error;
  auto displays = readMonitors(session->c(), session->screen.root);
  if (!displays) return displays.error();
  auto found = std::find_if(displays->begin(), displays->end(),
                            [&](const ScreenDisplay& d) { return d.id == displayID; });
  if (found == displays->end()) return CaptureErrc::displayNotFound;
  session->display = *found;
  if (!session->image.allocate(session->c(), imageBytes(session->display), session->shmFd)) {
    return CaptureErrc::sharedMemoryFailed;
  }
  fetchCursor(*session);

  log().info("capturing display {} ({}x{} at {},{}), at most {} wide, {} fps", displayID,
             session->display.width, session->display.height, session->display.x,
             session->display.y, maxWidth, fps);
  run_ = std::make_shared<Run>();
  run_->session = std::move(session);
  thread_ = std::thread([shared = shared_, run = run_] { capture(*shared, *run); });
  return {};
}

void X11ScreenCapturer::stop() {
  if (run_) {
    {
      std::lock_guard lock(shared_->mutex);
      run_->stopping = true;
    }
    shared_->notify();
  }
  // From one of its own handlers, which may go on to destroy the capturer, the loop ends once the
  // handler returns, touching only what the thread holds.
  corvel::joinOrHandOff(thread_);
  // The session goes with its last holder: here, or the thread as it ends.
  run_.reset();
}

void X11ScreenCapturer::capture(Shared& shared, Run& run) {
  Session& s = *run.session;
  xcb_connection_t* c = s.c();
  // Capture that ends on its own: said once, unless the owner is stopping it anyway.
  auto deliverStop = [&](std::error_code error) {
    log().warn("capture stopped: {}", error.message());
    std::shared_ptr<const StopHandler> handler;
    {
      std::lock_guard lock(shared.mutex);
      if (run.stopping) return;
      handler = shared.onStop;
    }
    if (handler) (*handler)(error);
  };
  bool dirty = true;  // the first frame always goes out
  // What to read again for the next frame: the whole area (at first and after a change of
  // geometry), else the rows that damage, the cursor's old and new places touched. The rest of the
  // shared image still holds the screen as it is.
  bool wholeArea = true;
  RowBand band;
  bool cursorChanged = false;
  int pointerX = -1, pointerY = -1;
  auto next = SteadyClock::now();
  auto lastMonitorCheck = next;
  // When the last frame went out, and when damage first came since then (none: nothing pending).
  SteadyClock::time_point lastFrame{};
  std::optional<SteadyClock::time_point> damagedSince;
  bool screenChanged = false;
  const int serverFd = xcb_get_file_descriptor(c);

  for (;;) {
    // Frames come on a beat of the frame rate, where the pointer is looked at too. A change on a
    // screen that sent nothing for an interval does not wait for the beat: it goes once it has
    // settled, and the beat starts again from there. Frames stay at least an interval apart.
    SteadyClock::duration interval{};
    for (;;) {
      {
        std::lock_guard lock(shared.mutex);
        if (run.stopping) return;
      }
      interval = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(1)) / shared.fps.load();
      while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
        const int type = event->response_type & 0x7F;
        if (type == s.damageEvent + XCB_DAMAGE_NOTIFY) {
          if (!damagedSince) damagedSince = SteadyClock::now();
        } else if (type == s.xfixesEvent + XCB_XFIXES_CURSOR_NOTIFY) {
          cursorChanged = true;
        } else if (type == s.randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == s.randrEvent + XCB_RANDR_NOTIFY) {
          screenChanged = true;
        }
      }
      if (xcb_connection_has_error(c) != 0) {
        deliverStop(CaptureErrc::connectionLost);
        return;
      }
      const auto now = SteadyClock::now();
      auto until = next;
      if (damagedSince) until = std::min(until, std::max(lastFrame + interval, *damagedSince + kSettleTime));
      if (now >= until) break;
      pollfd fds[2] = {{serverFd, POLLIN, 0}, {shared.wake.get(), POLLIN, 0}};
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
      if (::poll(fds, 2, static_cast<int>(wait)) > 0 && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!::read(shared.wake.get(), &count, sizeof count);
      }
    }
    const auto tick = SteadyClock::now();
    // On the beat, a late frame is not made up by the next; off it, the beat starts again here.
    next = tick >= next ? std::max(next + interval, tick) : tick + interval;
    const bool damaged = damagedSince.has_value();
    damagedSince.reset();
    // Monitors set or deleted by hand come without an event: look once a second as well.
    if (tick - lastMonitorCheck >= kMonitorCheckInterval) screenChanged = true;
    if (screenChanged) lastMonitorCheck = tick;

    if (std::exchange(screenChanged, false)) {
      auto displays = readMonitors(c, s.screen.root);
      if (!displays) {
        deliverStop(displays.error());
        return;
      }
      auto found = std::find_if(displays->begin(), displays->end(),
                                [&](const ScreenDisplay& d) { return d.id == s.displayID; });
      if (found == displays->end()) {
        deliverStop(CaptureErrc::displayRemoved);
        return;
      }
      if (found->x != s.display.x || found->y != s.display.y || found->width != s.display.width ||
          found->height != s.display.height) {
        s.display = *found;
        if (!s.image.allocate(c, imageBytes(s.display), s.shmFd)) {
          deliverStop(CaptureErrc::sharedMemoryFailed);
          return;
        }
        dirty = true;
        wholeArea = true;
      }
    }

    const Rect area = rectOf(s.display);
    if (damaged && takeDamage(s, area, band)) dirty = true;
    const auto cursorRect = [&](int px, int py) {
      return Rect{px - s.cursor.hotX, py - s.cursor.hotY, s.cursor.width, s.cursor.height};
    };
    if (cursorChanged) {
      const Rect before = cursorRect(pointerX, pointerY);
      fetchCursor(s);
      cursorChanged = false;
      if (area.intersects(before) || area.intersects(cursorRect(pointerX, pointerY))) dirty = true;
      band.add(area, before);
    }
    XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, s.screen.root), nullptr));
    if (pointer && pointer->same_screen && (pointer->root_x != pointerX || pointer->root_y != pointerY)) {
      const Rect before = cursorRect(pointerX, pointerY);
      pointerX = pointer->root_x;
      pointerY = pointer->root_y;
      if (area.intersects(before) || area.intersects(cursorRect(pointerX, pointerY))) dirty = true;
      band.add(area, before);
    }
    if (!dirty) continue;

    // The cursor is drawn into the image, so its rows are always read afresh before it is drawn
    // again. Whole pairs of rows, as the conversion to 4:2:0 takes them.
    const bool drawCursor = !s.cursor.pixels.empty() && pointerX >= 0;
    if (drawCursor) band.add(area, cursorRect(pointerX, pointerY));
    int firstRow = 0, endRow = area.height;
    if (!wholeArea) {
      firstRow = band.first & ~1;
      endRow = std::min(area.height, band.end + (band.end & 1));
    }
    const std::ptrdiff_t stride = std::ptrdiff_t{area.width} * 4;
    if (endRow > firstRow) {
      XcbReply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
          c,
          xcb_shm_get_image(c, s.screen.root, static_cast<std::int16_t>(area.x),
                            static_cast<std::int16_t>(area.y + firstRow), static_cast<std::uint16_t>(area.width),
                            static_cast<std::uint16_t>(endRow - firstRow), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                            s.image.segment, static_cast<std::uint32_t>(firstRow * stride)),
          nullptr));
      if (!image) {
        // A monitor change can make the area briefly invalid; the RandR event that follows sorts
        // it out. A broken connection shows at the top of the loop.
        continue;
      }
    }
    dirty = false;
    wholeArea = false;
    band = {};
    const auto capturedAt = SteadyClock::now();
    if (drawCursor) {
      blendCursor(s.image.data, stride, area.width, area.height, s.cursor.pixels.data(), s.cursor.width,
                  s.cursor.height, pointerX - s.cursor.hotX - area.x, pointerY - s.cursor.hotY - area.y);
    }
    const FrameSize size = FrameSize::forCapture(area.width, area.height, shared.maxWidth.load());
    const auto& frame = s.converter.convert(s.image.data, stride, area.width, area.height, size, firstRow, endRow);
    std::shared_ptr<const FrameHandler> handler;
    {
      std::lock_guard lock(shared.mutex);
      if (run.stopping) return;
      handler = shared.onFrame;
    }
    lastFrame = tick;
    if (handler) (*handler)(frame, capturedAt);
  }
}

}  // namespace ambrel
