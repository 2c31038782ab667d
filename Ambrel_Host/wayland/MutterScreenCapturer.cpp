#include "Ambrel_Host/wayland/MutterScreenCapturer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include <boost/asio/post.hpp>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/FrameConverter.h"
#include "Ambrel_Host/capture/FrameSize.h"
#include "Ambrel_Host/shell/BusConnection.h"
#include "Ambrel_Host/wayland/MutterDisplaySource.h"
#include "Ambrel_Host/wayland/PipeWireStream.h"
#include "Ambrel_Host/wayland/SdBusHandles.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
// mutter is asked for at most this many pictures a second; the capturer's own rate, which may
// change while it runs, is kept below it by the capturer.
constexpr int kStreamMaxFps = 60;
constexpr auto kStreamStartTimeout = std::chrono::seconds(5);
// How often the session's bus is read (for its Closed signal) while no picture is pending.
constexpr auto kBusCheckInterval = std::chrono::milliseconds(250);

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

}  // namespace

struct MutterScreenCapturer::Shared {
  std::atomic<int> fps{60};
  std::atomic<int> maxWidth{0};

  std::mutex mutex;  // guards the fields below, never held while a handler runs
  std::shared_ptr<const FrameHandler> onFrame;
  std::shared_ptr<const StopHandler> onStop;
};

struct MutterScreenCapturer::Run {
  std::shared_ptr<Shared> shared;
  std::shared_ptr<MutterDisplaySource> displays;
  std::uint32_t displayID = 0;
  bool stopping = false;  // under Shared::mutex
  bool ended = false;     // loop thread: the stop was reported

  SdBus bus;
  SdBusSlot closedMatch;
  std::string sessionPath;
  bool sessionClosed = false;

  // Loop thread: the last picture as it arrived, and its NV12 frame.
  std::vector<std::uint8_t> previous;
  int width = 0, height = 0;
  FrameConverter converter;
  const corvel::media::VideoFrame* converted = nullptr;
  SteadyClock::time_point convertedAt;
  bool pending = false;  // `converted` is newer than the last frame delivered
  SteadyClock::time_point nextDue;

  std::unique_ptr<PipeWireStream> stream;  // last: it goes first, stopping the loop's thread

  ~Run() {
    stream.reset();
    if (bus && !sessionPath.empty() && !sessionClosed) {
      sd_bus_message* raw = nullptr;
      if (sd_bus_message_new_method_call(bus.get(), &raw, kScreenCast, sessionPath.c_str(), kSessionInterface,
                                         "Stop") >= 0) {
        SdBusMessage stop(raw);
        sd_bus_message_set_expect_reply(stop.get(), 0);
        (void)sd_bus_send(bus.get(), stop.get(), nullptr);
      }
    }
  }

  void deliver() {
    if (converted == nullptr) return;
    pending = false;
    const auto interval =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::seconds(1)) / std::max(1, shared->fps.load());
    nextDue = std::max(nextDue + interval, SteadyClock::now());
    std::shared_ptr<const FrameHandler> handler;
    {
      std::lock_guard lock(shared->mutex);
      if (stopping) return;
      handler = shared->onFrame;
    }
    if (handler) (*handler)(*converted, convertedAt);
  }

  void end(std::error_code error) {
    if (ended) return;
    ended = true;
    log().warn("capture stopped: {}", error.message());
    std::shared_ptr<const StopHandler> handler;
    {
      std::lock_guard lock(shared->mutex);
      if (stopping) return;
      handler = shared->onStop;
    }
    if (handler) (*handler)(error);
  }

  // Whether the display is still there, for telling a removed monitor from a lost session.
  std::error_code whyClosed() {
    auto monitors = displays->monitors();
    if (!monitors) return CaptureErrc::connectionLost;
    const bool present = std::any_of(monitors->begin(), monitors->end(),
                                     [&](const MutterMonitor& m) { return m.display.id == displayID; });
    return present ? CaptureErrc::connectionLost : CaptureErrc::displayRemoved;
  }

  void picture(const PipeWireStream::Picture& p) {
    if (ended) return;
    const std::size_t row = static_cast<std::size_t>(p.width) * 4;
    int first = 0, end = 0;
    if (p.width != width || p.height != height) {
      width = p.width;
      height = p.height;
      previous.assign(row * static_cast<std::size_t>(height), 0);
      for (int y = 0; y < height; ++y) std::memcpy(&previous[row * static_cast<std::size_t>(y)], p.pixels + p.stride * y, row);
      end = height;
    } else {
      // Compared row by row inside the damage (the whole picture when mutter names none); what
      // differs is kept for the next comparison.
      const int from = p.damagedRows ? p.damagedRows->first : 0;
      const int to = p.damagedRows ? p.damagedRows->second : height;
      first = height;
      for (int y = from; y < to; ++y) {
        std::uint8_t* kept = &previous[row * static_cast<std::size_t>(y)];
        const std::uint8_t* now = p.pixels + p.stride * y;
        if (std::memcmp(kept, now, row) == 0) continue;
        std::memcpy(kept, now, row);
        first = std::min(first, y);
        end = y + 1;
      }
      if (end <= first) return;  // repainted, but nothing changed
    }
    // Whole pairs of rows, as the conversion to 4:2:0 takes them.
    first &= ~1;
    end = std::min(height, end + (end & 1));
    const FrameSize size = FrameSize::forCapture(width, height, shared->maxWidth.load());
    converted = &converter.convert(previous.data(), static_cast<std::ptrdiff_t>(row), width, height, size, first, end);
    convertedAt = SteadyClock::now();
    pending = true;
    if (convertedAt >= nextDue) {
      deliver();
    } else {
      stream->armTimer(nextDue - convertedAt);
    }
  }

  void tick() {
    if (ended) return;
    int r = 0;
    while ((r = sd_bus_process(bus.get(), nullptr)) > 0) {
    }
    if (r < 0 || sessionClosed) {
      end(whyClosed());
      return;
    }
    const auto now = SteadyClock::now();
    if (pending && now >= nextDue) deliver();
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(kBusCheckInterval);
    if (pending) wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(nextDue - now));
    stream->armTimer(wait);
  }
};

MutterScreenCapturer::MutterScreenCapturer(std::shared_ptr<MutterDisplaySource> displays)
    : displays_(std::move(displays)), shared_(std::make_shared<Shared>()) {}

MutterScreenCapturer::~MutterScreenCapturer() { stop(); }

void MutterScreenCapturer::setFrameHandler(FrameHandler handler) {
  auto next = handler ? std::make_shared<const FrameHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onFrame.swap(next);
}

void MutterScreenCapturer::setStopHandler(StopHandler handler) {
  auto next = handler ? std::make_shared<const StopHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onStop.swap(next);
}

void MutterScreenCapturer::setFrameRate(int fps) { shared_->fps = std::max(1, fps); }

void MutterScreenCapturer::setMaxWidth(int maxWidth) { shared_->maxWidth = maxWidth; }

std::error_code MutterScreenCapturer::start(std::uint32_t displayID, int maxWidth, int fps) {
  stop();
  shared_->fps = std::max(1, fps);
  shared_->maxWidth = maxWidth;
  if (!displays_) return CaptureErrc::noDisplayServer;
  auto monitors = displays_->monitors();
  if (!monitors) return monitors.error();
  const auto monitor = std::find_if(monitors->begin(), monitors->end(),
                                    [&](const MutterMonitor& m) { return m.display.id == displayID; });
  if (monitor == monitors->end()) return CaptureErrc::displayNotFound;

  auto run = std::make_shared<Run>();
  run->shared = shared_;
  run->displays = displays_;
  run->displayID = displayID;
  sd_bus* raw = nullptr;
  if (openBus(&raw, displays_->busAddress(), BusKind::session) < 0) return CaptureErrc::noDisplayServer;
  run->bus.reset(raw);
  sd_bus* bus = run->bus.get();

  SdBusError error;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                             error.get(), &reply, "a{sv}", 0);
  SdBusMessage created(reply);
  const char* path = nullptr;
  if (r < 0 || sd_bus_message_read(created.get(), "o", &path) < 0) {
    log().warn("mutter refused a screen cast: {}", error.text(r));
    return CaptureErrc::screenCastRefused;
  }
  run->sessionPath = path;
  // The cursor drawn into the picture (cursor mode 1).
  reply = nullptr;
  r = sd_bus_call_method(bus, kScreenCast, run->sessionPath.c_str(), kSessionInterface, "RecordMonitor",
                         error.get(), &reply, "sa{sv}", monitor->connector.c_str(), 1, "cursor-mode", "u", 1u);
  SdBusMessage recorded(reply);
  if (r < 0 || sd_bus_message_read(recorded.get(), "o", &path) < 0) {
    log().warn("mutter refused to record {}: {}", monitor->connector, error.text(r));
    return CaptureErrc::screenCastRefused;
  }
  const std::string streamPath = path;

  std::optional<std::uint32_t> node;
  sd_bus_slot* slot = nullptr;
  r = sd_bus_match_signal(
      bus, &slot, kScreenCast, streamPath.c_str(), kStreamInterface, "PipeWireStreamAdded",
      [](sd_bus_message* m, void* out, sd_bus_error*) {
        std::uint32_t id = 0;
        if (sd_bus_message_read(m, "u", &id) >= 0) *static_cast<std::optional<std::uint32_t>*>(out) = id;
        return 0;
      },
      &node);
  SdBusSlot streamAdded(slot);
  slot = nullptr;
  if (r >= 0) {
    r = sd_bus_match_signal(
        bus, &slot, kScreenCast, run->sessionPath.c_str(), kSessionInterface, "Closed",
        [](sd_bus_message*, void* flag, sd_bus_error*) {
          *static_cast<bool*>(flag) = true;
          return 0;
        },
        &run->sessionClosed);
    run->closedMatch.reset(slot);
  }
  if (r < 0) return CaptureErrc::screenCastRefused;
  reply = nullptr;
  r = sd_bus_call_method(bus, kScreenCast, run->sessionPath.c_str(), kSessionInterface, "Start", error.get(),
                         &reply, "");
  SdBusMessage started(reply);
  if (r < 0) {
    log().warn("mutter did not start the screen cast: {}", error.text(r));
    return CaptureErrc::screenCastRefused;
  }
  const auto deadline = SteadyClock::now() + kStreamStartTimeout;
  while (!node && !run->sessionClosed && SteadyClock::now() < deadline) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return CaptureErrc::connectionLost;
    if (r == 0) sd_bus_wait(bus, 100'000);
  }
  streamAdded.reset();
  if (!node) {
    log().warn("mutter's screen cast of {} sent no stream", monitor->connector);
    return CaptureErrc::screenCastRefused;
  }

  Run* self = run.get();
  PipeWireStream::Handlers handlers;
  handlers.picture = [self](const PipeWireStream::Picture& p) { self->picture(p); };
  handlers.failed = [self] { self->end(CaptureErrc::streamFailed); };
  handlers.timer = [self] { self->tick(); };
  std::error_code streamError;
  run->stream = PipeWireStream::open(*node, kStreamMaxFps, std::move(handlers), streamError);
  if (!run->stream) return streamError;
  log().info("capturing display {} ({}, {}x{}) through PipeWire node {}, at most {} wide, {} fps", displayID,
             monitor->connector, monitor->pixelWidth, monitor->pixelHeight, *node, maxWidth, fps);
  run_ = std::move(run);
  return {};
}

void MutterScreenCapturer::stop() {
  if (!run_) return;
  {
    std::lock_guard lock(shared_->mutex);
    run_->stopping = true;
  }
  if (run_->stream && run_->stream->onLoopThread()) {
    // From one of its own handlers, which may go on to destroy the capturer: the run is torn down
    // on the shared pool, which waits for the loop's thread once the handler returns.
    boost::asio::post(corvel::sharedPool(), [run = std::move(run_)]() mutable { run.reset(); });
    return;
  }
  run_.reset();
}

}  // namespace ambrel
