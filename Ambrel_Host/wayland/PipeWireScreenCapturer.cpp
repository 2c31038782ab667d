#include "Ambrel_Host/wayland/PipeWireScreenCapturer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include <boost/asio/post.hpp>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/FrameConverter.h"
#include "Ambrel_Host/capture/FrameSize.h"
#include "Ambrel_Host/wayland/PipeWireStream.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The producer is asked for at most this many pictures a second; the capturer's own rate, which
// may change while it runs, is kept below it by the capturer.
constexpr int kStreamMaxFps = 60;
// How often the screen cast is checked (for its end) while no picture is pending.
constexpr auto kCastCheckInterval = std::chrono::milliseconds(250);

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

}  // namespace

struct PipeWireScreenCapturer::Shared {
  std::atomic<int> fps{60};
  std::atomic<int> maxWidth{0};

  std::mutex mutex;  // guards the fields below, never held while a handler runs
  std::shared_ptr<const FrameHandler> onFrame;
  std::shared_ptr<const StopHandler> onStop;
};

struct PipeWireScreenCapturer::Run {
  std::shared_ptr<Shared> shared;
  bool stopping = false;  // under Shared::mutex
  bool ended = false;     // loop thread: the stop was reported

  std::unique_ptr<Cast> cast;

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
    cast.reset();
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
      // Compared row by row inside the damage (the whole picture when the producer names none);
      // what differs is kept for the next comparison.
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
    if (const auto error = cast->check()) {
      end(error);
      return;
    }
    const auto now = SteadyClock::now();
    if (pending && now >= nextDue) deliver();
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(kCastCheckInterval);
    if (pending) wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(nextDue - now));
    stream->armTimer(wait);
  }
};

PipeWireScreenCapturer::PipeWireScreenCapturer() : shared_(std::make_shared<Shared>()) {}

PipeWireScreenCapturer::~PipeWireScreenCapturer() { stop(); }

void PipeWireScreenCapturer::setFrameHandler(FrameHandler handler) {
  auto next = handler ? std::make_shared<const FrameHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onFrame.swap(next);
}

void PipeWireScreenCapturer::setStopHandler(StopHandler handler) {
  auto next = handler ? std::make_shared<const StopHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(shared_->mutex);
  shared_->onStop.swap(next);
}

void PipeWireScreenCapturer::setFrameRate(int fps) { shared_->fps = std::max(1, fps); }

void PipeWireScreenCapturer::setMaxWidth(int maxWidth) { shared_->maxWidth = maxWidth; }

void PipeWireScreenCapturer::prepare(int maxWidth, int fps) {
  stop();
  shared_->fps = std::max(1, fps);
  shared_->maxWidth = maxWidth;
}

std::error_code PipeWireScreenCapturer::startStream(std::unique_ptr<Cast> cast, std::uint32_t node, int remoteFd) {
  auto run = std::make_shared<Run>();
  run->shared = shared_;
  run->cast = std::move(cast);
  Run* self = run.get();
  PipeWireStream::Handlers handlers;
  handlers.picture = [self](const PipeWireStream::Picture& p) { self->picture(p); };
  handlers.failed = [self] { self->end(CaptureErrc::streamFailed); };
  handlers.timer = [self] { self->tick(); };
  std::error_code error;
  run->stream = remoteFd >= 0 ? PipeWireStream::openOnRemote(remoteFd, node, kStreamMaxFps, std::move(handlers), error)
                              : PipeWireStream::open(node, kStreamMaxFps, std::move(handlers), error);
  if (!run->stream) return error;
  run_ = std::move(run);
  return {};
}

void PipeWireScreenCapturer::stop() {
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
