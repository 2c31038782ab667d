#include "Ambrel_Host/wayland/WlrScreenCapturer.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include <libyuv/convert_argb.h>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/FrameConverter.h"
#include "Ambrel_Host/capture/FrameSize.h"
#include "Ambrel_Host/wayland/WaylandConnection.h"
#include "Ambrel_Host/wayland/WaylandOutputs.h"
#include "Ambrel_Host/wayland/WlrFrameDamage.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace ambrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

// Copies that fail one after another before capture gives up (an output switched off, say).
constexpr int kMaxFailures = 50;

bool isBgrx(std::uint32_t format) { return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888; }
bool isRgbx(std::uint32_t format) { return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888; }

// A wl_shm buffer the compositor copies the output into, kept while its layout stays the same.
struct ShmBuffer {
  std::uint32_t format = 0;
  int width = 0, height = 0, stride = 0;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  wl_buffer* buffer = nullptr;

  bool matches(std::uint32_t f, int w, int h, int s) const {
    return buffer != nullptr && f == format && w == width && h == height && s == stride;
  }
  void release() {
    if (buffer != nullptr) wl_buffer_destroy(buffer);
    if (data != nullptr) ::munmap(data, size);
    buffer = nullptr;
    data = nullptr;
    size = 0;
  }
  [[nodiscard]] bool allocate(wl_shm* shm, std::uint32_t f, int w, int h, int s) {
    release();
    format = f;
    width = w;
    height = h;
    stride = s;
    size = static_cast<std::size_t>(s) * static_cast<std::size_t>(h);
    corvel::UniqueFd fd(::memfd_create("ambrel-capture", MFD_CLOEXEC));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return false;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED) return false;
    data = static_cast<std::uint8_t*>(p);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd.get(), static_cast<std::int32_t>(size));
    buffer = wl_shm_pool_create_buffer(pool, 0, w, h, s, f);
    wl_shm_pool_destroy(pool);
    return buffer != nullptr;
  }
  ~ShmBuffer() { release(); }
};

}  // namespace

struct WlrScreenCapturer::Session {
  std::unique_ptr<WaylandConnection> connection;
  std::unique_ptr<WaylandOutputs> outputs;
  zwlr_screencopy_manager_v1* manager = nullptr;
  wl_shm* shm = nullptr;
  std::uint32_t displayID = 0;
  wl_output* output = nullptr;
  bool outputGone = false;

  // The copy under way, if any, and what its events said.
  zwlr_screencopy_frame_v1* frame = nullptr;
  struct Offer {
    std::uint32_t format = 0;
    int width = 0, height = 0, stride = 0;
    bool usable = false;
  } offer;
  bool yInvert = false;
  bool ready = false;
  bool failed = false;
  bool damageRequested = false;
  WlrFrameDamage damage;

  ShmBuffer buffer;
  std::vector<std::uint8_t> swapped;  // R/B swapped pictures, for compositors that offer RGBX
  FrameConverter converter;

  ~Session() {
    if (frame != nullptr) zwlr_screencopy_frame_v1_destroy(frame);
    buffer.release();
    if (manager != nullptr) zwlr_screencopy_manager_v1_destroy(manager);
    if (shm != nullptr) wl_shm_destroy(shm);
    outputs.reset();
    if (connection) (void)connection->flush();
  }

  void copy() {
    if (!offer.usable) {
      failed = true;
      return;
    }
    if (!buffer.matches(offer.format, offer.width, offer.height, offer.stride) &&
        !buffer.allocate(shm, offer.format, offer.width, offer.height, offer.stride)) {
      log().error("couldn't make a {}x{} shared-memory buffer", offer.width, offer.height);
      failed = true;
      return;
    }
    // The first copy of a capture takes the screen as it is; the ones after wait for damage.
    if (damageRequested && zwlr_screencopy_frame_v1_get_version(frame) >= 2) {
      zwlr_screencopy_frame_v1_copy_with_damage(frame, buffer.buffer);
    } else {
      zwlr_screencopy_frame_v1_copy(frame, buffer.buffer);
    }
  }
};

namespace {

using Session = WlrScreenCapturer::Session;

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    // buffer: the shared-memory layout the compositor copies into
    [](void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
       std::uint32_t height, std::uint32_t stride) {
      auto* s = static_cast<Session*>(data);
      const bool fits = width > 0 && height > 0 && width <= 16384 && height <= 16384 &&
                        stride >= width * 4 && stride <= 65536 * 4;
      s->offer = {format, static_cast<int>(width), static_cast<int>(height), static_cast<int>(stride),
                  fits && (isBgrx(format) || isRgbx(format))};
      // Before version 3 the buffer event is the only one.
      if (zwlr_screencopy_frame_v1_get_version(frame) < 3) s->copy();
    },
    // flags
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
      static_cast<Session*>(data)->yInvert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    },
    // ready
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
      static_cast<Session*>(data)->ready = true;
    },
    // failed
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Session*>(data)->failed = true; },
    // damage
    [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
       std::uint32_t height) {
      auto clamp = [](std::uint32_t v) { return static_cast<int>(std::min<std::uint32_t>(v, 1u << 30)); };
      static_cast<Session*>(data)->damage.add(clamp(x), clamp(y), clamp(width), clamp(height));
    },
    // linux_dmabuf: shared memory only
    [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    // buffer_done: every layout offered
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Session*>(data)->copy(); },
};

}  // namespace

struct WlrScreenCapturer::Shared {
  std::atomic<int> fps{60};
  std::atomic<int> maxWidth{0};
  corvel::UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

  std::mutex mutex;  // guards the fields below, never held while a handler runs
  std::shared_ptr<const FrameHandler> onFrame;
  std::shared_ptr<const StopHandler> onStop;

  void poke() {
    const std::uint64_t one = 1;
    if (::write(wake.get(), &one, sizeof one) < 0) log().warn("couldn't wake the capture thread");
  }
};

struct WlrScreenCapturer::Run {
  std::unique_ptr<Session> session;
  bool stopping = false;  // under Shared::mutex
};

WlrScreenCapturer::WlrScreenCapturer(std::string display)
    : display_(std::move(display)), shared_(std::make_shared<Shared>()) {}

WlrScreenCapturer::~WlrScreenCapturer() { stop(); }

void WlrScreenCapturer::setFrameHandler(FrameHandler handler) {
  auto next = handler ? std::make_shared<const FrameHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onFrame.swap(next);
}

void WlrScreenCapturer::setStopHandler(StopHandler handler) {
  auto next = handler ? std::make_shared<const StopHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onStop.swap(next);
}

void WlrScreenCapturer::setFrameRate(int fps) {
  shared_->fps = std::max(1, fps);
  shared_->poke();
}

void WlrScreenCapturer::setMaxWidth(int maxWidth) { shared_->maxWidth = maxWidth; }

std::error_code WlrScreenCapturer::start(std::uint32_t displayID, int maxWidth, int fps) {
  stop();
  shared_->fps = std::max(1, fps);
  shared_->maxWidth = maxWidth;

  auto connection = WaylandConnection::open(display_);
  if (!connection) return connection.error();
  auto session = std::make_unique<Session>();
  session->connection = std::move(*connection);
  auto& c = *session->connection;
  session->outputs = std::make_unique<WaylandOutputs>(c);
  session->manager =
      static_cast<zwlr_screencopy_manager_v1*>(c.bindFirst(&zwlr_screencopy_manager_v1_interface, 3));
  session->shm = static_cast<wl_shm*>(c.bindFirst(&wl_shm_interface, 1));
  if (session->manager == nullptr || session->shm == nullptr) return CaptureErrc::extensionMissing;
  if (!c.roundtrip() || !c.roundtrip()) return CaptureErrc::connectionLost;
  session->displayID = displayID;
  session->output = session->outputs->output(displayID);
  if (session->output == nullptr) return CaptureErrc::displayNotFound;
  Session* s = session.get();
  session->outputs->setChangeHandler([s] { s->outputGone = s->outputs->output(s->displayID) == nullptr; });

  log().info("capturing output {} at most {} wide, {} fps", displayID, maxWidth, fps);
  // Settings changed before this start don't wake the new thread.
  std::uint64_t stale = 0;
  while (::read(shared_->wake.get(), &stale, sizeof stale) > 0) {
  }
  run_ = std::make_shared<Run>();
  run_->session = std::move(session);
  thread_ = std::thread([shared = shared_, run = run_] { capture(*shared, *run); });
  return {};
}

void WlrScreenCapturer::stop() {
  if (run_) {
    std::lock_guard lock(shared_->mutex);
    run_->stopping = true;
    shared_->poke();
  }
  // From one of its own handlers, which may go on to destroy the capturer, the loop ends once the
  // handler returns.
  corvel::joinOrHandOff(thread_);
  run_.reset();
}

void WlrScreenCapturer::capture(Shared& shared, Run& run) {
  Session& s = *run.session;
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
  auto stopping = [&] {
    std::lock_guard lock(shared.mutex);
    return run.stopping;
  };

  auto next = SteadyClock::now();  // when the next copy may be asked for
  int failures = 0;
  bool firstFrame = true;
  for (;;) {
    if (stopping()) return;
    if (s.outputGone) {
      deliverStop(CaptureErrc::displayRemoved);
      return;
    }
    const auto now = SteadyClock::now();
    if (s.frame == nullptr && now >= next) {
      s.frame = zwlr_screencopy_manager_v1_capture_output(s.manager, 1, s.output);
      zwlr_screencopy_frame_v1_add_listener(s.frame, &kFrameListener, &s);
      s.offer = {};
      s.yInvert = s.ready = s.failed = false;
    }
    // A copy under way waits for its events (with damage asked for, as long as nothing changes);
    // else the next copy's time.
    auto timeout = std::chrono::milliseconds(-1);
    if (s.frame == nullptr) {
      timeout = std::chrono::ceil<std::chrono::milliseconds>(next - now);
    }
    if (!s.connection->pump(timeout, shared.wake.get())) {
      deliverStop(CaptureErrc::connectionLost);
      return;
    }
    std::uint64_t woken = 0;
    while (::read(shared.wake.get(), &woken, sizeof woken) > 0) {
    }
    if (s.frame == nullptr || !(s.ready || s.failed)) continue;

    zwlr_screencopy_frame_v1_destroy(s.frame);
    s.frame = nullptr;
    const auto interval =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(1)) / shared.fps.load();
    // Frames stay at least one interval apart, so a late one is not made up by the next.
    next = std::max(next + interval, SteadyClock::now());
    if (s.failed) {
      s.damage.clear();
      if (!s.offer.usable && s.offer.width > 0) {
        deliverStop(CaptureErrc::unsupportedPixelFormat);
        return;
      }
      if (++failures >= kMaxFailures) {
        deliverStop(CaptureErrc::displayRemoved);
        return;
      }
      continue;
    }
    failures = 0;
    s.damageRequested = true;

    const int width = s.buffer.width, height = s.buffer.height;
    WlrFrameDamage::Rows rows{0, height};
    if (!firstFrame) rows = s.damage.pictureRows(height, s.yInvert);
    s.damage.clear();
    if (rows.empty()) continue;
    firstFrame = false;

    const std::uint8_t* picture = s.buffer.data;
    std::ptrdiff_t stride = s.buffer.stride;
    if (isRgbx(s.buffer.format)) {
      s.swapped.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
      libyuv::ABGRToARGB(picture, static_cast<int>(stride), s.swapped.data(), width * 4, width, height);
      picture = s.swapped.data();
      stride = std::ptrdiff_t{width} * 4;
    }
    if (s.yInvert) {
      picture += (height - 1) * stride;
      stride = -stride;
    }
    const auto capturedAt = SteadyClock::now();
    const FrameSize size = FrameSize::forCapture(width, height, shared.maxWidth.load());
    const auto& frame = s.converter.convert(picture, stride, width, height, size, rows.first, rows.end);
    std::shared_ptr<const FrameHandler> handler;
    {
      std::lock_guard lock(shared.mutex);
      if (run.stopping) return;
      handler = shared.onFrame;
    }
    if (handler) (*handler)(frame, capturedAt);
  }
}

}  // namespace ambrel
