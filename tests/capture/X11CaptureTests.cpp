#include <gtest/gtest.h>

#include <signal.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/capture/ScreenCapturer.h"
#include "Ambrel_Host/capture/VideoPipeline.h"
#include "Ambrel_Host/capture/VirtualDisplay.h"
#include "CorvelKit/base/Executors.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;

// What a capturer delivered: every frame's size and a copy of the last luma plane.
class FrameLog {
 public:
  void attach(ScreenCapturer& capturer) {
    capturer.setFrameHandler([this](const corvel::media::VideoFrame& f, std::chrono::steady_clock::time_point) {
      std::lock_guard lock(mutex_);
      ++count_;
      width_ = f.width;
      height_ = f.height;
      luma_.resize(static_cast<std::size_t>(f.width * f.height));
      for (int row = 0; row < f.height; ++row) {
        std::copy_n(f.y + row * f.yStride, f.width, luma_.begin() + row * f.width);
      }
      changed_.notify_all();
    });
    capturer.setStopHandler([this](std::error_code error) {
      std::lock_guard lock(mutex_);
      stopError_ = error;
      changed_.notify_all();
    });
  }
  // Waits until more than `count` frames arrived; false on timeout.
  bool waitForMoreThan(int count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ > count; });
  }
  // Waits until a frame's luma at (x, y) satisfies `test`.
  template <class Test>
  bool waitForLuma(int x, int y, Test test, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return x < width_ && y < height_ && test(luma_[static_cast<std::size_t>(y * width_ + x)]);
    });
  }
  std::optional<std::error_code> waitForStop(std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stopError_.has_value(); });
    return stopError_;
  }
  int count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::pair<int, int> size() const {
    std::lock_guard lock(mutex_);
    return {width_, height_};
  }
  // The brightest luma in a square around (x, y).
  int maxLumaAround(int x, int y, int radius) const {
    std::lock_guard lock(mutex_);
    int best = 0;
    for (int j = std::max(0, y - radius); j < std::min(height_, y + radius); ++j) {
      for (int i = std::max(0, x - radius); i < std::min(width_, x + radius); ++i) {
        best = std::max<int>(best, luma_[static_cast<std::size_t>(j * width_ + i)]);
      }
    }
    return best;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> luma_;
  std::optional<std::error_code> stopError_;
};

// A client of the virtual display that draws on it the way any application would.
class Painter {
 public:
  explicit Painter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~Painter() { xcb_disconnect(c_); }

  void fill(int x, int y, int w, int h, std::uint32_t colour) {
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, screen_->root, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                            static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
    xcb_poly_fill_rectangle(c_, screen_->root, gc, 1, &r);
    xcb_free_gc(c_, gc);
    sync();
  }
  void movePointer(int x, int y) {
    xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                     static_cast<std::int16_t>(y));
    sync();
  }

 private:
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  xcb_connection_t* c_;
  xcb_screen_t* screen_;
};

class X11Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto started = VirtualDisplay::start();
    ASSERT_TRUE(started) << started.error().message();
    display_ = std::move(*started);
    auto source = DisplaySource::create(display_->name());
    ASSERT_TRUE(source) << source.error().message();
    source_ = std::move(*source);
    painter_.emplace(display_->name());
  }
  ScreenDisplay mainDisplay() {
    auto displays = source_->displays();
    EXPECT_TRUE(displays);
    for (const auto& d : *displays) {
      if (d.isMain) return d;
    }
    ADD_FAILURE() << "no main display";
    return {};
  }

  std::unique_ptr<VirtualDisplay> display_;
  std::unique_ptr<DisplaySource> source_;
  std::optional<Painter> painter_;
};

TEST_F(X11Capture, ListsTheScreenAsOneMainDisplay) {
  auto displays = source_->displays();
  ASSERT_TRUE(displays) << displays.error().message();
  ASSERT_EQ(displays->size(), 1u);
  const auto& d = displays->front();
  EXPECT_NE(d.id, 0u);
  EXPECT_FALSE(d.name.empty());
  EXPECT_EQ(d.width, 1920);
  EXPECT_EQ(d.height, 1080);
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.y, 0);
  EXPECT_TRUE(d.isMain);
}

TEST_F(X11Capture, DeliversOnlyChangedPicturesAndTheyShowTheDrawing) {
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  ASSERT_FALSE(capturer->start(mainDisplay().id, 3840, 120));

  ASSERT_TRUE(frames.waitForMoreThan(0));
  EXPECT_EQ(frames.size(), std::make_pair(1920, 1080));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(frames.count(), 1) << "an unchanged screen delivered frames";

  painter_->fill(100, 100, 200, 200, 0xFFFFFF);
  ASSERT_TRUE(frames.waitForLuma(200, 200, [](int y) { return y > 200; }));
  EXPECT_LT(frames.maxLumaAround(1000, 800, 50), 40) << "the undrawn area should stay dark";

  const int afterDrawing = frames.count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(frames.count(), afterDrawing);
  capturer->stop();
}

// After the first frame only the changed rows are read again: what was drawn before, elsewhere,
// must stay in the picture, and a drawing undone must leave it.
TEST_F(X11Capture, ChangesInDifferentPlacesAllReachThePicture) {
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  ASSERT_FALSE(capturer->start(mainDisplay().id, 0, 120));
  ASSERT_TRUE(frames.waitForMoreThan(0));

  painter_->fill(100, 101, 50, 3, 0xFFFFFF);  // odd rows: the pair above must come along
  ASSERT_TRUE(frames.waitForLuma(120, 102, [](int y) { return y > 200; }));
  painter_->fill(1500, 900, 40, 40, 0xFFFFFF);
  ASSERT_TRUE(frames.waitForLuma(1520, 920, [](int y) { return y > 200; }));
  EXPECT_GT(frames.maxLumaAround(120, 102, 2), 200) << "the first drawing went missing";
  EXPECT_LT(frames.maxLumaAround(800, 500, 50), 40);

  painter_->fill(100, 101, 50, 3, 0x000000);
  ASSERT_TRUE(frames.waitForLuma(120, 102, [](int y) { return y < 40; }));
  EXPECT_GT(frames.maxLumaAround(1520, 920, 5), 200);
  capturer->stop();
}

// At one frame a second: a change after a quiet spell goes out without waiting for the beat, and
// the frame after it still keeps a whole interval away.
TEST_F(X11Capture, AChangeOnAQuietScreenGoesOutAtOnceAndFramesKeepTheirInterval) {
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  ASSERT_FALSE(capturer->start(mainDisplay().id, 0, 1));
  ASSERT_TRUE(frames.waitForMoreThan(0));
  std::this_thread::sleep_for(1200ms);

  painter_->fill(100, 100, 50, 50, 0xFFFFFF);
  ASSERT_TRUE(frames.waitForLuma(120, 120, [](int y) { return y > 200; }, 600ms))
      << "a change on a quiet screen waited for the next beat";
  const auto first = std::chrono::steady_clock::now();
  painter_->fill(800, 500, 50, 50, 0xFFFFFF);
  ASSERT_TRUE(frames.waitForLuma(820, 520, [](int y) { return y > 200; }, 3s));
  EXPECT_GE(std::chrono::steady_clock::now() - first, 900ms) << "two frames came closer than the interval";
  capturer->stop();
}

TEST_F(X11Capture, PointerMovesBringFramesWithTheCursorDrawnIn) {
  painter_->movePointer(100, 100);
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  ASSERT_FALSE(capturer->start(mainDisplay().id, 0, 60));
  ASSERT_TRUE(frames.waitForMoreThan(0));
  std::this_thread::sleep_for(200ms);
  const int before = frames.count();

  painter_->movePointer(700, 500);
  ASSERT_TRUE(frames.waitForMoreThan(before));
  // The server's default cursor has white pixels; the screen itself is black.
  EXPECT_GT(frames.maxLumaAround(700, 500, 20), 100);
  EXPECT_LT(frames.maxLumaAround(100, 100, 20), 40) << "the cursor's old place should be clean";
  capturer->stop();
}

TEST_F(X11Capture, ScalesToMaxWidthAndFollowsChangesWhileRunning) {
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  ASSERT_FALSE(capturer->start(mainDisplay().id, 1280, 60));
  ASSERT_TRUE(frames.waitForMoreThan(0));
  EXPECT_EQ(frames.size(), std::make_pair(1280, 720));

  capturer->setMaxWidth(1366);
  capturer->setFrameRate(30);
  const int before = frames.count();
  painter_->fill(0, 0, 50, 50, 0xFFFFFF);
  ASSERT_TRUE(frames.waitForMoreThan(before));
  EXPECT_EQ(frames.size(), std::make_pair(1366, 768));
  capturer->stop();
  capturer->stop();  // a second stop is harmless
}

TEST_F(X11Capture, RefusesAnUnknownDisplayAndRestartsCleanly) {
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  EXPECT_EQ(capturer->start(0x1234567, 0, 60), CaptureErrc::displayNotFound);
  const auto id = mainDisplay().id;
  ASSERT_FALSE(capturer->start(id, 0, 60));
  ASSERT_FALSE(capturer->start(id, 0, 60));  // replaces the running capture
  ASSERT_TRUE(frames.waitForMoreThan(0));
  EXPECT_EQ(ScreenCapturer::create(":9999")->start(id, 0, 60), CaptureErrc::noDisplayServer);
}

// Xvfb has one output and its user-defined RandR monitors are unreliable, so a display that is
// unplugged can't be staged here; a server that goes away must end capture the same way.
TEST_F(X11Capture, StopsWithAnErrorWhenTheServerGoesAway) {
  auto capturer = ScreenCapturer::create(display_->name());
  FrameLog frames;
  frames.attach(*capturer);
  ASSERT_FALSE(capturer->start(mainDisplay().id, 0, 60));
  ASSERT_TRUE(frames.waitForMoreThan(0));
  painter_.reset();
  source_.reset();
  display_.reset();
  auto stopped = frames.waitForStop();
  ASSERT_TRUE(stopped.has_value()) << "no stop notice";
  EXPECT_EQ(*stopped, CaptureErrc::connectionLost);
  capturer->stop();
}

// One key packet per frame.
class OnePacketEncoder final : public corvel::media::VideoEncoder {
 public:
  void setOnPacket(PacketHandler handler) override { onPacket_ = std::move(handler); }
  void encode(const corvel::media::VideoFrame&, std::chrono::microseconds pts) override {
    corvel::media::VideoPacket packet;
    packet.isKeyframe = true;
    packet.timestampMicros = static_cast<std::uint64_t>(pts.count());
    packet.avcc = {0, 0, 0, 1, 0x65};
    packet.parameterSets = {{0x67}, {0x68}};
    if (onPacket_) onPacket_(packet);
  }
  void requestKeyframe() override {}
  void setBitrate(int) override {}
  void configure(int, int, std::optional<corvel::media::VideoCodec>, std::optional<bool>) override {}
  void invalidate() override {}

 private:
  PacketHandler onPacket_;
};

// A viewer with room for every packet that runs `onSend` on the first one it gets.
class DroppingTarget final : public VideoTarget {
 public:
  explicit DroppingTarget(std::function<void()> onSend) : onSend_(std::move(onSend)) {}
  void withVideoFlow(const std::function<void(VideoFlow&)>& change) override {
    std::lock_guard lock(mutex_);
    VideoFlow flow;
    flow.isViewer = true;
    flow.needsKeyframe = false;
    change(flow);
  }
  void sendVideo(corvel::ByteView, std::function<void()> sent) override {
    if (auto first = std::exchange(onSend_, nullptr)) first();
    sent();
  }

 private:
  std::mutex mutex_;
  std::function<void()> onSend_;
};

std::size_t threadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Who lets go of the last reference, from inside a call on the capture thread.
enum class Teardown {
  capturerInItsFrameHandler,
  capturerInItsStopHandler,
  pipelineInATargetsSend,
  pipelineInItsStopHandler,
};

const char* name(Teardown teardown) {
  switch (teardown) {
    case Teardown::capturerInItsFrameHandler: return "CapturerInItsFrameHandler";
    case Teardown::capturerInItsStopHandler: return "CapturerInItsStopHandler";
    case Teardown::pipelineInATargetsSend: return "PipelineInATargetsSend";
    case Teardown::pipelineInItsStopHandler: return "PipelineInItsStopHandler";
  }
  return "unknown";
}
void PrintTo(Teardown teardown, std::ostream* out) { *out << name(teardown); }

class X11CaptureTeardown : public X11Capture, public ::testing::WithParamInterface<Teardown> {};

// Under ASan this shows the capture thread touching nothing of what went: the handler goes on
// reading its frame after the capturer is gone, and the loop ends after it returns.
TEST_P(X11CaptureTeardown, TheLastReferenceMayGoOnTheCaptureThread) {
  (void)corvel::sharedPool();  // its threads are there before counting
  const std::size_t threadsBefore = threadCount();
  const Teardown teardown = GetParam();
  const bool byStop = teardown == Teardown::capturerInItsStopHandler ||
                      teardown == Teardown::pipelineInItsStopHandler;

  std::promise<void> gone;
  std::atomic<int> calls = 0;
  std::shared_ptr<ScreenCapturer> capturer;
  std::shared_ptr<VideoPipeline> pipeline;
  std::weak_ptr<void> watched;

  if (teardown == Teardown::capturerInItsFrameHandler || teardown == Teardown::capturerInItsStopHandler) {
    capturer = ScreenCapturer::create(display_->name());
    watched = capturer;
    capturer->setFrameHandler([&](const corvel::media::VideoFrame& frame, std::chrono::steady_clock::time_point) {
      if (++calls > 1 || byStop) return;
      capturer.reset();
      volatile std::uint8_t first = frame.y[0];  // the frame outlives the capturer's last reference
      (void)first;
      gone.set_value();
    });
    capturer->setStopHandler([&](std::error_code) {
      capturer.reset();
      gone.set_value();
    });
    ASSERT_FALSE(capturer->start(mainDisplay().id, 640, 60));
  } else {
    pipeline = VideoPipeline::create(ScreenCapturer::create(display_->name()),
                                     std::make_unique<OnePacketEncoder>(), 4'000'000);
    watched = pipeline;
    if (byStop) {
      pipeline->setOnStop([&](std::error_code) {
        pipeline.reset();
        gone.set_value();
      });
    } else {
      pipeline->setTargets({std::make_shared<DroppingTarget>([&] {
        ++calls;
        pipeline.reset();
        gone.set_value();
      })});
    }
    ASSERT_FALSE(pipeline->start(mainDisplay().id, 640, 60, false));
  }

  if (byStop) {
    // The server goes away under the running capture.
    painter_.reset();
    source_.reset();
    display_.reset();
  }
  ASSERT_EQ(gone.get_future().wait_for(10s), std::future_status::ready);
  // The capture thread ends on its own; nothing is delivered any more.
  if (painter_) painter_->fill(0, 0, 300, 300, 0xFFFFFF);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while ((!watched.expired() || threadCount() > threadsBefore) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(watched.expired());
  EXPECT_LE(threadCount(), threadsBefore);
  EXPECT_LE(calls.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(, X11CaptureTeardown,
                         ::testing::Values(Teardown::capturerInItsFrameHandler,
                                           Teardown::capturerInItsStopHandler,
                                           Teardown::pipelineInATargetsSend,
                                           Teardown::pipelineInItsStopHandler),
                         [](const ::testing::TestParamInfo<Teardown>& info) { return name(info.param); });

TEST(VirtualDisplay, SeveralRunSideBySideAndStopWithTheirOwner) {
  auto a = VirtualDisplay::start({640, 480, 24});
  auto b = VirtualDisplay::start({800, 600, 24});
  ASSERT_TRUE(a && b);
  EXPECT_NE((*a)->number(), (*b)->number());
  const pid_t pid = (*a)->pid();
  const int number = (*a)->number();
  a->reset();
  EXPECT_NE(::kill(pid, 0), 0) << "the server should be gone";
  // Its number is free again, so a test running beside this one may already have a server of
  // its own there: what matters is that the lock no longer names ours.
  std::ifstream lock("/tmp/.X" + std::to_string(number) + "-lock");
  pid_t holder = 0;
  if (lock >> holder) EXPECT_NE(holder, pid);
}

}  // namespace
}  // namespace ambrel
