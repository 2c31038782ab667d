#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/VideoPipeline.h"

namespace ambrel {
namespace {

using corvel::media::VideoCodec;
using corvel::media::VideoFrame;
using corvel::media::VideoPacket;
using namespace std::chrono_literals;

// Hands frames to the pipeline on the test's thread.
class FakeCapturer final : public ScreenCapturer {
 public:
  void setFrameHandler(FrameHandler handler) override { onFrame = std::move(handler); }
  void setStopHandler(StopHandler handler) override { onStop = std::move(handler); }
  std::error_code start(std::uint32_t, int, int fps) override {
    frameRate = fps;
    return {};
  }
  void stop() override {}
  void setFrameRate(int fps) override { frameRate = fps; }
  void setMaxWidth(int) override {}

  FrameHandler onFrame;
  StopHandler onStop;
  int frameRate = 0;
};

// What the fake encoder did, readable after the pipeline owns it.
struct EncoderLog {
  std::mutex mutex;
  std::vector<std::chrono::microseconds> encoded;  // pts of each frame
  std::vector<int> bitrates;                       // setBitrate calls
  std::vector<VideoCodec> codecs;                  // configure calls with a codec
  bool keyframeRequested = false;
  int requests = 0;
  // Runs inside every encode() call, before the packet: the time an encode takes.
  std::function<void()> whileEncoding;
};

// One packet per frame, a keyframe when one was asked for.
class FakeEncoder final : public corvel::media::VideoEncoder {
 public:
  explicit FakeEncoder(std::shared_ptr<EncoderLog> log) : log_(std::move(log)) {}
  void setOnPacket(PacketHandler handler) override { onPacket_ = std::move(handler); }
  void encode(const VideoFrame&, std::chrono::microseconds pts) override {
    if (log_->whileEncoding) log_->whileEncoding();
    VideoPacket packet;
    {
      std::lock_guard lock(log_->mutex);
      log_->encoded.push_back(pts);
      packet.isKeyframe = std::exchange(log_->keyframeRequested, false);
    }
    packet.timestampMicros = static_cast<std::uint64_t>(pts.count());
    packet.avcc = {0, 0, 0, 1, 0x41};
    if (packet.isKeyframe) packet.parameterSets = {{0x67}, {0x68}};
    if (onPacket_) onPacket_(packet);
  }
  void requestKeyframe() override {
    std::lock_guard lock(log_->mutex);
    log_->keyframeRequested = true;
    ++log_->requests;
  }
  void setBitrate(int bitsPerSecond) override {
    std::lock_guard lock(log_->mutex);
    log_->bitrates.push_back(bitsPerSecond);
  }
  void configure(int, int, std::optional<VideoCodec> codec, std::optional<bool>) override {
    std::lock_guard lock(log_->mutex);
    if (codec) log_->codecs.push_back(*codec);
  }
  void invalidate() override {}

 private:
  std::shared_ptr<EncoderLog> log_;
  PacketHandler onPacket_;
};

// A client: its flow state and the packets it was sent, with their completions held back.
class FakeTarget final : public VideoTarget {
 public:
  explicit FakeTarget(bool viewer = true) { flow.isViewer = viewer; }
  void withVideoFlow(const std::function<void(VideoFlow&)>& change) override {
    std::lock_guard lock(mutex);
    change(flow);
  }
  void sendVideo(corvel::ByteView wire, std::function<void()> sent) override {
    std::lock_guard lock(mutex);
    received.push_back(*VideoPacket::parse(wire));
    pending.push_back(std::move(sent));
  }
  // Completes every send so far.
  void completeSends() {
    std::vector<std::function<void()>> done;
    {
      std::lock_guard lock(mutex);
      done.swap(pending);
    }
    for (auto& f : done) f();
  }
  int inFlight() {
    std::lock_guard lock(mutex);
    return flow.inFlight;
  }
  std::vector<bool> keyframes() {
    std::lock_guard lock(mutex);
    std::vector<bool> out;
    for (auto& p : received) out.push_back(p.isKeyframe);
    return out;
  }

  std::mutex mutex;
  VideoFlow flow;
  std::vector<VideoPacket> received;
  std::vector<std::function<void()>> pending;
};

class VideoPipelineTest : public ::testing::Test {
 protected:
  VideoPipelineTest() {
    auto capturer = std::make_unique<FakeCapturer>();
    capture = capturer.get();
    pipeline = VideoPipeline::create(std::move(capturer), std::make_unique<FakeEncoder>(encoder),
                                     12'000'000, [this] { return now; });
    EXPECT_FALSE(pipeline->start(1, 640, 60, false));
  }

  void frame() {
    now += 10ms;
    VideoFrame f;
    f.width = 4;
    f.height = 2;
    f.y = luma;
    f.yStride = 4;
    f.uv = chroma;
    f.uvStride = 4;
    capture->onFrame(f, now);
  }
  std::size_t encodedCount() {
    std::lock_guard lock(encoder->mutex);
    return encoder->encoded.size();
  }
  // refresh() runs on the pipeline's queue.
  static bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(2ms);
    return done();
  }

  std::uint8_t luma[8] = {};
  std::uint8_t chroma[4] = {};
  std::chrono::steady_clock::time_point now{std::chrono::seconds(100)};
  std::shared_ptr<EncoderLog> encoder = std::make_shared<EncoderLog>();
  FakeCapturer* capture = nullptr;
  std::shared_ptr<VideoPipeline> pipeline;
};

TEST_F(VideoPipelineTest, NewViewerWaitsForAKeyframeWhichItForces) {
  auto viewer = std::make_shared<FakeTarget>();
  pipeline->setTargets({viewer});
  frame();  // not a keyframe: dropped for the viewer, which asks for one
  EXPECT_TRUE(viewer->received.empty());
  frame();
  frame();
  EXPECT_EQ(viewer->keyframes(), (std::vector<bool>{true, false}));
  EXPECT_EQ(viewer->inFlight(), 2);
  viewer->completeSends();
  EXPECT_EQ(viewer->inFlight(), 0);
}

TEST_F(VideoPipelineTest, ACongestedViewerHoldsEveryFrameBackButASharerDoesNot) {
  auto slow = std::make_shared<FakeTarget>();
  auto other = std::make_shared<FakeTarget>();
  auto sharer = std::make_shared<FakeTarget>(false);
  sharer->flow.inFlight = 5;  // not a video target: never counted
  pipeline->setTargets({sharer, slow, other});
  pipeline->requestKeyframe();
  for (int i = 0; i < 3; ++i) {
    frame();
    other->completeSends();  // a fast client
  }
  EXPECT_EQ(slow->inFlight(), 3);
  EXPECT_EQ(encodedCount(), 3u);

  frame();
  frame();
  EXPECT_EQ(encodedCount(), 3u) << "frames are skipped before encoding";
  EXPECT_EQ(other->received.size(), 3u);
  EXPECT_TRUE(sharer->received.empty());

  slow->completeSends();
  frame();
  EXPECT_EQ(encodedCount(), 4u);
  EXPECT_EQ(slow->received.size(), 4u);
  EXPECT_EQ(other->received.size(), 4u);
}

TEST_F(VideoPipelineTest, AViewerStalledForFiveSecondsStopsHoldingTheOthersAndRejoinsAtAKeyframe) {
  auto stuck = std::make_shared<FakeTarget>();
  auto other = std::make_shared<FakeTarget>();
  pipeline->setTargets({stuck, other});
  pipeline->requestKeyframe();
  for (int i = 0; i < 3; ++i) {
    frame();
    other->completeSends();
  }
  ASSERT_EQ(stuck->inFlight(), 3);
  frame();
  EXPECT_EQ(encodedCount(), 3u) << "held back while the stall is young";

  now += VideoPipeline::stallLimit;
  for (int i = 0; i < 5; ++i) {
    frame();
    other->completeSends();
  }
  EXPECT_EQ(encodedCount(), 8u) << "the others go on";
  EXPECT_EQ(other->received.size(), 8u);
  EXPECT_EQ(stuck->received.size(), 3u);
  {
    std::lock_guard lock(encoder->mutex);
    EXPECT_EQ(encoder->requests, 1) << "no keyframe storm for the stalled viewer";
  }
  {
    std::lock_guard lock(stuck->mutex);
    EXPECT_TRUE(stuck->flow.stalled);
  }

  // Its queue drains: the next picture is a keyframe, and it takes part again.
  stuck->completeSends();
  frame();
  frame();
  EXPECT_EQ(stuck->keyframes(), (std::vector<bool>{true, false, false, true}));
  {
    std::lock_guard lock(stuck->mutex);
    EXPECT_FALSE(stuck->flow.stalled);
  }
}

TEST_F(VideoPipelineTest, AViewerThatDropsBehindHoldsNothingBackAndAsksForAKeyframeOnceItHasRoom) {
  auto stalled = std::make_shared<FakeTarget>();
  stalled->flow.pacing = VideoPacing::dropsBehind;
  stalled->flow.maxInFlight = 4;
  auto other = std::make_shared<FakeTarget>();
  pipeline->setTargets({stalled, other});
  pipeline->requestKeyframe();
  for (int i = 0; i < 8; ++i) {
    frame();
    other->completeSends();
  }
  EXPECT_EQ(encodedCount(), 8u) << "a full viewer that drops behind skips nothing";
  EXPECT_EQ(stalled->keyframes(), (std::vector<bool>{true, false, false, false}));
  EXPECT_EQ(other->keyframes(), (std::vector<bool>{true, false, false, false, false, false, false, false}))
      << "while its slots are full, it asks for no keyframe";
  {
    std::lock_guard lock(encoder->mutex);
    EXPECT_EQ(encoder->requests, 1);
  }

  // The first slot that frees up brings a keyframe of the current picture, even on a still screen.
  stalled->completeSends();
  ASSERT_TRUE(waitUntil([&] { return stalled->keyframes().size() == 5 && other->keyframes().size() == 9; }));
  EXPECT_TRUE(stalled->keyframes().back());
  EXPECT_TRUE(other->keyframes().back());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(encodedCount(), 9u) << "one refresh, not one per freed slot";
}

TEST_F(VideoPipelineTest, WithoutViewersFramesAreEncodedForNobody) {
  auto sharer = std::make_shared<FakeTarget>(false);
  pipeline->setTargets({sharer});
  for (int i = 0; i < 5; ++i) frame();
  EXPECT_EQ(encodedCount(), 5u);
  EXPECT_TRUE(sharer->received.empty());
}

TEST_F(VideoPipelineTest, APacketLostByOneViewerForcesAKeyframeForAll) {
  auto a = std::make_shared<FakeTarget>();
  auto b = std::make_shared<FakeTarget>();
  pipeline->setTargets({a, b});
  pipeline->requestKeyframe();
  frame();
  // `a` fills up between the capture check and the packet: a refresh skips that check.
  a->withVideoFlow([](VideoFlow& f) { f.inFlight = 3; });
  {
    std::lock_guard lock(encoder->mutex);
    encoder->requests = 0;
  }
  pipeline->refresh();
  ASSERT_TRUE(waitUntil([&] { return b->keyframes().size() == 2; }));
  EXPECT_EQ(a->keyframes(), (std::vector<bool>{true}));
  EXPECT_EQ(b->keyframes(), (std::vector<bool>{true, true}));
  {
    std::lock_guard lock(encoder->mutex);
    EXPECT_EQ(encoder->requests, 2) << "the refresh's and the drop's";
    EXPECT_TRUE(encoder->keyframeRequested);
  }
  a->withVideoFlow([](VideoFlow& f) {
    EXPECT_TRUE(f.needsKeyframe);
    f.inFlight = 0;
  });
  b->completeSends();
  frame();
  EXPECT_EQ(a->keyframes(), (std::vector<bool>{true, true}));
  EXPECT_EQ(b->keyframes(), (std::vector<bool>{true, true, true}));
}

TEST_F(VideoPipelineTest, RefreshReencodesTheLastFrameAsAKeyframeWithALaterTime) {
  pipeline->refresh();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(encodedCount(), 0u) << "nothing captured yet";

  auto viewer = std::make_shared<FakeTarget>();
  pipeline->setTargets({viewer});
  frame();  // dropped: not a keyframe
  {
    std::lock_guard lock(encoder->mutex);
    encoder->keyframeRequested = false;
  }
  pipeline->refresh();
  ASSERT_TRUE(waitUntil([&] { return viewer->keyframes().size() == 1; }));
  ASSERT_EQ(viewer->keyframes(), (std::vector<bool>{true}));
  std::lock_guard lock(encoder->mutex);
  EXPECT_GT(encoder->encoded[1], encoder->encoded[0]);
  ASSERT_NE(pipeline->lastFrame(), nullptr);
  EXPECT_EQ(pipeline->lastFrame()->width, 4);
}

TEST_F(VideoPipelineTest, TwoSecondWindowsAdaptTheEncodersBitRate) {
  auto viewer = std::make_shared<FakeTarget>();
  pipeline->setTargets({viewer});
  pipeline->requestKeyframe();
  frame();
  viewer->withVideoFlow([](VideoFlow& f) { f.inFlight = 3; });
  for (int i = 0; i < 4; ++i) frame();  // skipped
  viewer->withVideoFlow([](VideoFlow& f) { f.inFlight = 0; });
  now += 2s;
  frame();  // closes the window: 4 of 6 skipped
  EXPECT_EQ(pipeline->currentBitrate(), 8'400'000);
  {
    std::lock_guard lock(encoder->mutex);
    EXPECT_EQ(encoder->bitrates, (std::vector<int>{8'400'000}));
  }
  // A new target resets both rates.
  pipeline->setBitrate(6'000'000, 120);
  EXPECT_EQ(pipeline->currentBitrate(), 6'000'000);
  EXPECT_EQ(pipeline->targetBitrate(), 6'000'000);
  EXPECT_EQ(capture->frameRate, 120);
}

TEST_F(VideoPipelineTest, ACodecChangeRebuildsOnceAndStopEndsTheFanOut) {
  auto viewer = std::make_shared<FakeTarget>();
  pipeline->setTargets({viewer});
  pipeline->setCodec(VideoCodec::hevc, 12'000'000, false);
  pipeline->setCodec(VideoCodec::hevc, 12'000'000, false);
  {
    std::lock_guard lock(encoder->mutex);
    EXPECT_EQ(encoder->codecs, (std::vector<VideoCodec>{VideoCodec::hevc}));
  }
  pipeline->stop();
  EXPECT_FALSE(capture->onFrame);
  EXPECT_EQ(pipeline->lastFrame(), nullptr);
}

// An HEVC encoder that cannot hold 95 % of 60 frames a second for two windows gives way to H.264
// with a keyframe, and the pipeline keeps H.264 after that; a fast one, H.264 itself, or one slow
// window alone change nothing.
TEST(VideoPipelineCodecTest, AnEncoderThatCannotHoldTheFrameRateGivesWayToH264) {
  struct Case {
    const char* what;
    VideoCodec codec;
    std::vector<std::chrono::milliseconds> costPerWindow;  // time an encode takes, window by window
    std::vector<VideoCodec> configured;
  };
  const std::vector<Case> cases = {
      {"slow HEVC", VideoCodec::hevc, {25ms, 25ms, 25ms}, {VideoCodec::hevc, VideoCodec::h264}},
      {"HEVC that keeps up", VideoCodec::hevc, {15ms, 15ms, 15ms}, {VideoCodec::hevc}},
      {"slow H.264", VideoCodec::h264, {25ms, 25ms, 25ms}, {}},
      {"one slow window", VideoCodec::hevc, {25ms, 5ms, 25ms}, {VideoCodec::hevc}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto log = std::make_shared<EncoderLog>();
    auto capturer = std::make_unique<FakeCapturer>();
    auto* capture = capturer.get();
    std::chrono::steady_clock::time_point now{std::chrono::seconds(100)};
    auto pipeline = VideoPipeline::create(std::move(capturer), std::make_unique<FakeEncoder>(log),
                                          12'000'000, [&now] { return now; });
    ASSERT_FALSE(pipeline->start(1, 640, 60, false));
    pipeline->setCodec(c.codec, 12'000'000, false);
    auto viewer = std::make_shared<FakeTarget>();
    pipeline->setTargets({viewer});
    std::chrono::milliseconds cost{0};
    log->whileEncoding = [&] { now += cost; };
    std::uint8_t luma[8] = {}, chroma[4] = {};
    VideoFrame f{};
    f.width = 4;
    f.height = 2;
    f.y = luma;
    f.yStride = 4;
    f.uv = chroma;
    f.uvStride = 4;
    std::size_t packetsBeforeSwitch = 0;
    for (auto windowCost : c.costPerWindow) {
      cost = windowCost;
      for (const auto end = now + VideoPipeline::statisticsWindow; now < end;) {
        now += 10ms;
        capture->onFrame(f, now);
        viewer->completeSends();
        // The packet of the frame that showed the encoder too slow is still HEVC.
        std::lock_guard lock(log->mutex);
        if (log->codecs.size() < 2) packetsBeforeSwitch = viewer->keyframes().size() + 1;
      }
    }
    {
      std::lock_guard lock(log->mutex);
      EXPECT_EQ(log->codecs, c.configured);
    }
    if (c.configured.size() == 2) {
      // The first packet after the switch is a keyframe, and HEVC is not taken up again.
      ASSERT_GT(viewer->keyframes().size(), packetsBeforeSwitch);
      EXPECT_TRUE(viewer->keyframes()[packetsBeforeSwitch]);
      pipeline->setCodec(VideoCodec::hevc, 12'000'000, false);
      std::lock_guard lock(log->mutex);
      EXPECT_EQ(log->codecs.back(), VideoCodec::h264);
      EXPECT_EQ(log->codecs.size(), 2u);
    }
    pipeline->stop();
  }
}

}  // namespace
}  // namespace ambrel
