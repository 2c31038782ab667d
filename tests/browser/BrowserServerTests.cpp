#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/browser/BrowserPage.h"
#include "Ambrel_Host/browser/BrowserClient.h"
#include "Ambrel_Host/browser/BrowserServer.h"
#include "Ambrel_Host/browser/WebSocketFrame.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/media/VideoPacket.h"
#include "tests/support/FakeEventPoster.h"
#include "tests/support/WebSocketTestClient.h"

namespace ambrel {
namespace {

using corvel::media::VideoPacket;
using corvel::test::WebSocketTestClient;
using namespace std::chrono_literals;

constexpr const char* kCode = "ABC-DEF-GHJ-KLM";
constexpr const char* kQuery = "code=abcdef-ghjklm";

// A port nobody listens on right now.
std::uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

// The capture side of the shared pipeline, driven by the test: frames are pushed by hand and
// every frame becomes one packet of `packetBytes`, a keyframe when one was asked for.
struct FakeVideo {
  // Recursive: the last reference to a pipeline may go inside push(), and its capturer locks again.
  std::recursive_mutex mutex;
  ScreenCapturer::FrameHandler onFrame;  // of the live capturer
  int capturersMade = 0;
  int capturersLive = 0;
  std::atomic<bool> keyframeWanted = false;
  std::size_t packetBytes = 64;
  std::int64_t pts = 0;
  std::vector<std::uint8_t> luma = std::vector<std::uint8_t>(16 * 16, 0x80);
  std::vector<std::uint8_t> chroma = std::vector<std::uint8_t>(16 * 8, 0x80);

  // One captured frame through the pipeline, if one runs.
  bool push() {
    std::lock_guard lock(mutex);
    if (!onFrame) return false;
    corvel::media::VideoFrame frame{16, 16, luma.data(), 16, chroma.data(), 16};
    onFrame(frame, std::chrono::steady_clock::now());
    return true;
  }
  int live() {
    std::lock_guard lock(mutex);
    return capturersLive;
  }
  int made() {
    std::lock_guard lock(mutex);
    return capturersMade;
  }
};

class FakeCapturer final : public ScreenCapturer {
 public:
  explicit FakeCapturer(std::shared_ptr<FakeVideo> video) : video_(std::move(video)) {
    std::lock_guard lock(video_->mutex);
    ++video_->capturersMade;
    ++video_->capturersLive;
  }
  ~FakeCapturer() override { stop(); }
  void setFrameHandler(FrameHandler handler) override { handler_ = std::move(handler); }
  void setStopHandler(StopHandler) override {}
  std::error_code start(std::uint32_t, int, int) override {
    std::lock_guard lock(video_->mutex);
    video_->onFrame = handler_;
    running_ = true;
    return {};
  }
  void stop() override {
    std::lock_guard lock(video_->mutex);
    if (!running_) return;
    running_ = false;
    video_->onFrame = nullptr;
    --video_->capturersLive;
  }
  void setFrameRate(int) override {}
  void setMaxWidth(int) override {}

 private:
  std::shared_ptr<FakeVideo> video_;
  FrameHandler handler_;
  bool running_ = false;
};

// Called with the video mutex held (from push()).
class FakeEncoder final : public corvel::media::VideoEncoder {
 public:
  explicit FakeEncoder(std::shared_ptr<FakeVideo> video) : video_(std::move(video)) {}
  void setOnPacket(PacketHandler handler) override { onPacket_ = std::move(handler); }
  void encode(const corvel::media::VideoFrame&, std::chrono::microseconds) override {
    VideoPacket packet;
    packet.isKeyframe = video_->keyframeWanted.exchange(false);
    packet.timestampMicros = static_cast<std::uint64_t>(++video_->pts);
    packet.avcc.assign(video_->packetBytes, 0);
    packet.avcc[3] = 1;
    if (packet.isKeyframe) packet.parameterSets = {{0x67}, {0x68}};
    if (onPacket_) onPacket_(packet);
  }
  void requestKeyframe() override {
    video_->keyframeWanted = true;
  }
  void setBitrate(int) override {}
  void configure(int, int, std::optional<corvel::media::VideoCodec>, std::optional<bool>) override {}
  void invalidate() override {}

 private:
  std::shared_ptr<FakeVideo> video_;
  PacketHandler onPacket_;
};

class BrowserServerTest : public ::testing::Test {
 protected:
  BrowserServerTest() {
    auto poster = std::make_unique<test::FakeEventPoster>();
    poster_ = poster.get();
    InputInjector::Options options;
    options.display = {0, 0, 1000, 500};
    options.executor = io_.get_executor();
    BrowserServer::Parts parts;
    parts.video.capturer = [video = video_] { return std::make_unique<FakeCapturer>(video); };
    parts.video.encoder = [video = video_](int, int) { return std::make_unique<FakeEncoder>(video); };
    parts.displays = [] {
      return corvel::Expected<std::vector<ScreenDisplay>, std::error_code>(
          std::vector<ScreenDisplay>{{7, "side", 200, 100, 1000, 0, false},
                                     {1, "main", 1000, 500, 0, 0, true}});
    };
    parts.injector = InputInjector::create(std::move(poster), options);
    parts.port = port_;
    parts.maxPendingRequests = 3;
    parts.requestTimeout = 300ms;
    server_ = BrowserServer::create(std::move(parts));
    server_->start(kCode);
    EXPECT_TRUE(eventually([&] { return server_->address().has_value(); }));
  }
  ~BrowserServerTest() override {
    server_->stop();
    eventually([&] { return video_->live() == 0; });
    // Background work may still hold the server; its injector must go before io_ does.
    eventually([&] { return server_.use_count() == 1; });
    server_.reset();
  }

  std::unique_ptr<WebSocketTestClient> connect(int receiveBuffer = 0) {
    auto client = WebSocketTestClient::connect(port_, false, receiveBuffer);
    EXPECT_TRUE(client);
    return client;
  }
  // A viewer that got its 101.
  std::unique_ptr<WebSocketTestClient> viewer(const char* query = kQuery, int receiveBuffer = 0) {
    auto client = connect(receiveBuffer);
    if (!client) return nullptr;
    auto head = client->upgrade(query);
    EXPECT_TRUE(head && head->starts_with("HTTP/1.1 101 ")) << head.value_or("no answer");
    return client;
  }
  // Pushes frames until every given viewer has a video frame; returns their first packets.
  std::vector<VideoPacket> firstPackets(std::vector<WebSocketTestClient*> viewers) {
    std::vector<VideoPacket> packets;
    for (auto* v : viewers) {
      std::optional<WebSocketTestClient::Frame> frame;
      for (int i = 0; i < 200 && !frame; ++i) {
        video_->push();
        frame = v->readFrame(20ms);
      }
      EXPECT_TRUE(frame);
      if (!frame) continue;
      EXPECT_EQ(frame->opcode, WebSocketFrame::binary);
      auto packet = VideoPacket::parse(frame->payload);
      EXPECT_TRUE(packet);
      if (packet) packets.push_back(*packet);
    }
    return packets;
  }
  // What the injector posted, once it posted `count` lines.
  std::vector<std::string> posted(std::size_t count) {
    std::vector<std::string> all;
    eventually([&] {
      io_.restart();
      io_.poll();
      auto more = poster_->take();
      all.insert(all.end(), more.begin(), more.end());
      return all.size() >= count;
    });
    return all;
  }

  boost::asio::io_context io_;
  test::FakeEventPoster* poster_ = nullptr;
  std::shared_ptr<FakeVideo> video_ = std::make_shared<FakeVideo>();
  std::uint16_t port_ = freePort();
  std::shared_ptr<BrowserServer> server_;
};

TEST_F(BrowserServerTest, ServesThePageAndClosesAfterEachAnswer) {
  auto client = connect();
  ASSERT_TRUE(client->sendRaw("GET /index.html?v=2 HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::string page(BrowserPage::html());
  EXPECT_EQ(client->readToEnd(),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                std::to_string(page.size()) +
                "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + page);
  EXPECT_FALSE(page.empty());
  const auto address = server_->address().value_or("");
  EXPECT_TRUE(address.starts_with("http://")) << address;
  EXPECT_TRUE(address.ends_with(":" + std::to_string(port_))) << address;

  auto refused = connect();
  EXPECT_EQ(refused->upgrade(""), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close");
  EXPECT_TRUE(refused->waitForClose());
  EXPECT_EQ(server_->clientCount(), 0u);
}

TEST_F(BrowserServerTest, BadHeadsEndTheConnectionWithoutAnAnswer) {
  // No end within 64,000 bytes.
  auto endless = connect();
  endless->sendRaw("GET / HTTP/1.1\r\nX: " + std::string(70'000, 'a'));
  EXPECT_EQ(endless->readToEnd(), "");
  // Not UTF-8.
  auto garbled = connect();
  garbled->sendRaw("GET /\xFF HTTP/1.1\r\n\r\n");
  EXPECT_EQ(garbled->readToEnd(), "");
  // A head just under the limit still gets its answer.
  auto large = connect();
  large->sendRaw("GET /nothing HTTP/1.1\r\nX: " + std::string(63'000, 'a') + "\r\n\r\n");
  EXPECT_TRUE(large->readToEnd().starts_with("HTTP/1.1 404 Not Found\r\n"));
}

TEST_F(BrowserServerTest, SlowAndSurplusRequestsAreCut) {
  // Three connections that say nothing take every slot; a fourth is closed at once.
  auto a = connect();
  auto b = connect();
  auto c = connect();
  std::this_thread::sleep_for(50ms);
  auto surplus = connect();
  surplus->sendRaw("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(surplus->readToEnd(200ms), "");
  // The silent ones are cut once their time is up, and the slots come back.
  for (auto* silent : {a.get(), b.get(), c.get()}) EXPECT_TRUE(silent->waitForClose(2s));
  auto later = connect();
  later->sendRaw("GET /nowhere HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(later->readToEnd().starts_with("HTTP/1.1 404 Not Found\r\n"));
}

TEST_F(BrowserServerTest, BytesAfterTheHeadAreTheFirstWebSocketBytes) {
  auto client = connect();
  // A ping of 300 bytes (the 2-byte length form), masked, in the same write as the request.
  corvel::Bytes payload(300);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
  std::string request =
      "GET /ws?code=ABC%2Ddef%2Dghj%2Dklm HTTP/1.1\r\nupgrade: WebSocket\r\n"
      "SEC-WEBSOCKET-KEY: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  auto ping = WebSocketFrame::encodeMasked(WebSocketFrame::ping, payload, {1, 2, 3, 4});
  request.append(corvel::asString(ping));
  ASSERT_TRUE(client->sendRaw(request));
  EXPECT_EQ(client->readHead(),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  auto pong = client->readFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->opcode, WebSocketFrame::pong);
  EXPECT_EQ(pong->payload, payload);
}

TEST_F(BrowserServerTest, ViewersStartAtAKeyframeOfTheMainDisplayAndDriveTheInjector) {
  auto first = viewer();
  auto packets = firstPackets({first.get()});
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(packets[0].isKeyframe);
  EXPECT_EQ(packets[0].parameterSets.size(), 2u);

  // A second viewer joins the running pipeline and also begins at a keyframe.
  auto second = viewer();
  auto more = firstPackets({second.get()});
  ASSERT_EQ(more.size(), 1u);
  EXPECT_TRUE(more[0].isKeyframe);
  EXPECT_EQ(video_->made(), 1) << "one pipeline for every viewer";
  EXPECT_TRUE(eventually([&] { return server_->clientCount() == 2; }));

  // Input in text frames, against the main display (1000×500 at 0,0); junk in between is dropped.
  first->sendText(R"({"t":"move","x":0.5,"y":0.5})");
  first->sendText("not json");
  first->sendText(R"({"t":"key","code":70000,"down":true})");
  first->sendFrame(WebSocketFrame::binary, corvel::asBytes(R"({"t":"move","x":0,"y":0})"));
  first->sendText(R"({"t":"down","button":1})");
  EXPECT_EQ(posted(2), (std::vector<std::string>{"move 500 250", "button 3 down click 1"}));

  // Leaving releases what the viewer held.
  first->sendFrame(WebSocketFrame::close, {});
  EXPECT_TRUE(first->waitForClose());
  EXPECT_TRUE(eventually([&] { return server_->clientCount() == 1; }));
  auto released = posted(1);
  ASSERT_EQ(released.size(), 1u);
  EXPECT_TRUE(released[0].starts_with("button 3 up")) << released[0];
}

TEST_F(BrowserServerTest, TheLastViewerStopsThePipelineAndTheNextStartsANewOne) {
  {
    auto v = viewer();
    firstPackets({v.get()});
    EXPECT_EQ(video_->live(), 1);
  }
  EXPECT_TRUE(eventually([&] { return video_->live() == 0; }));
  EXPECT_TRUE(eventually([&] { return server_->pipeline() == nullptr; }));

  auto next = viewer();
  auto packets = firstPackets({next.get()});
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_TRUE(packets[0].isKeyframe);
  EXPECT_EQ(video_->made(), 2);
}

TEST_F(BrowserServerTest, RestartingWithANewCodeKeepsViewersAndRefusesTheOldCode) {
  auto v = viewer();
  firstPackets({v.get()});
  server_->start("NEW-COD-EXY-ZAB");
  ASSERT_TRUE(eventually([&] { return server_->address().has_value(); }));
  EXPECT_TRUE(eventually([&] {
    auto late = WebSocketTestClient::connect(port_, false);
    return late && late->upgrade(kQuery) == std::optional<std::string>(
                                                "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close");
  }));
  auto second = viewer("code=newcodexyzab");
  EXPECT_TRUE(eventually([&] { return server_->clientCount() == 2; }));
  // The first viewer still streams.
  video_->push();
  EXPECT_TRUE(v->readFrame());
}

TEST_F(BrowserServerTest, StopClosesEveryViewer) {
  auto v = viewer();
  firstPackets({v.get()});
  server_->stop();
  EXPECT_TRUE(v->waitForClose());
  EXPECT_TRUE(eventually([&] { return video_->live() == 0; }));
  EXPECT_FALSE(eventually([&] { return server_->address().has_value(); }, 50ms));
  EXPECT_FALSE(WebSocketTestClient::connect(port_, false));
}

TEST_F(BrowserServerTest, OversizedFramesAndUnreadPongsCloseTheViewer) {
  auto big = viewer();
  corvel::Bytes header{0x81, 0xFF, 0, 0, 0, 0, 0, 0x20, 0, 0};  // 2 MiB announced
  big->sendRaw(header);
  EXPECT_TRUE(big->waitForClose());

  auto huge = viewer();
  huge->sendRaw(corvel::Bytes{0x81, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1});  // top bit set
  EXPECT_TRUE(huge->waitForClose());
  EXPECT_TRUE(eventually([&] { return server_->clientCount() == 0; }));
}

// A page that says which video messages it is done with sets the pace: while 4 wait for it the
// display's frames are skipped before encoding, and what it gets has no gaps and no keyframes.
TEST_F(BrowserServerTest, APageThatSaysWhatItDecodedHoldsTheDisplayBackInsteadOfLosingFrames) {
  auto page = viewer();
  ASSERT_EQ(firstPackets({page.get()}).size(), 1u);
  while (page->readFrame(100ms)) {
  }
  // Messages are handled in order: once the move after it is posted, the page paces.
  auto tell = [&](int done) {
    page->sendText(R"({"t":"decoded","count":)" + std::to_string(done) + "}");
    page->sendText(R"({"t":"move","x":0,"y":0})");
    ASSERT_EQ(posted(1).size(), 1u);
  };
  tell(0);

  std::vector<VideoPacket> got;
  auto pushAndRead = [&](int pushes) {
    for (int i = 0; i < pushes; ++i) video_->push();
    std::size_t n = 0;
    while (auto frame = page->readFrame(300ms)) {
      got.push_back(*VideoPacket::parse(frame->payload));
      ++n;
    }
    return n;
  };
  EXPECT_EQ(pushAndRead(10), static_cast<std::size_t>(BrowserClient::maxInFlight));
  tell(2);
  EXPECT_EQ(pushAndRead(10), 2u);
  tell(100);  // more than it was sent: all it holds is freed
  EXPECT_EQ(pushAndRead(3), 3u);
  for (std::size_t i = 1; i < got.size(); ++i) {
    EXPECT_EQ(got[i].timestampMicros, got[i - 1].timestampMicros + 1) << "a gap before message " << i;
    EXPECT_FALSE(got[i].isKeyframe) << "message " << i;
  }
}

TEST_F(BrowserServerTest, AViewerThatStopsReadingDoesNotHoldUpTheOthers) {
  auto stalled = viewer(kQuery, 4096);
  auto reader = viewer();
  firstPackets({stalled.get(), reader.get()});
  while (reader->readFrame(100ms)) {
  }
  video_->packetBytes = 256 * 1024;

  // The stalled viewer reads nothing while many large frames go out.
  constexpr int frames = 60;
  std::vector<VideoPacket> readerGot;
  for (int i = 0; i < frames; ++i) {
    video_->push();
    auto frame = reader->readFrame();
    ASSERT_TRUE(frame) << "frame " << i;
    readerGot.push_back(*VideoPacket::parse(frame->payload));
  }
  ASSERT_EQ(readerGot.size(), static_cast<std::size_t>(frames)) << "the reading viewer lost frames";
  for (std::size_t i = 1; i < readerGot.size(); ++i) {
    EXPECT_EQ(readerGot[i].timestampMicros, readerGot[i - 1].timestampMicros + 1);
  }

  // What the stalled viewer gets once it reads again, with the screen now still: the frames it
  // had room for, then, after the gap, a keyframe of the current picture.
  std::vector<VideoPacket> stalledGot;
  while (auto frame = stalled->readFrame(1000ms)) stalledGot.push_back(*VideoPacket::parse(frame->payload));
  ASSERT_GT(stalledGot.size(), 2u);
  EXPECT_LT(stalledGot.size(), static_cast<std::size_t>(frames));
  EXPECT_TRUE(stalledGot.back().isKeyframe) << "a viewer that fell behind gets a keyframe";
  bool sawGap = false;
  for (std::size_t i = 1; i < stalledGot.size(); ++i) {
    if (stalledGot[i].timestampMicros != stalledGot[i - 1].timestampMicros + 1) {
      sawGap = true;
      EXPECT_TRUE(stalledGot[i].isKeyframe) << "resumes after a gap only at a keyframe";
    }
  }
  EXPECT_TRUE(sawGap);
}

}  // namespace
// The browser port before anyone is known: limits by source, the host's wrong-code guard, and
// no plain HTTP when a certificate was wanted.
TEST(BrowserServerGuardTest, OneSourceHoldsFewSlotsAndWrongCodesCountInTheHostsGuard) {
  std::mutex mutex;
  std::vector<std::string> wrongCodes;
  std::atomic<bool> blocked{false};
  BrowserServer::Parts parts;
  parts.port = freePort();
  parts.maxPendingPerSource = 2;
  parts.requestTimeout = 2s;
  parts.isBlocked = [&](const std::string&) { return blocked.load(); };
  parts.wrongCode = [&](const std::string& address) {
    std::lock_guard lock(mutex);
    wrongCodes.push_back(address);
  };
  auto server = BrowserServer::create(std::move(parts));
  server->start(kCode);
  ASSERT_TRUE(eventually([&] { return server->address().has_value(); }));
  const auto port = std::stoi(server->address()->substr(server->address()->rfind(':') + 1));

  auto a = WebSocketTestClient::connect(static_cast<std::uint16_t>(port), false);
  auto b = WebSocketTestClient::connect(static_cast<std::uint16_t>(port), false);
  std::this_thread::sleep_for(50ms);
  auto third = WebSocketTestClient::connect(static_cast<std::uint16_t>(port), false);
  third->sendRaw("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(third->readToEnd(300ms), "");  // this address already holds its share
  a.reset();
  b.reset();

  auto wrong = WebSocketTestClient::connect(static_cast<std::uint16_t>(port), false);
  EXPECT_TRUE(wrong->upgrade("?code=ZZZZZZZZZZZZ").value_or("").starts_with("HTTP/1.1 403 "));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return !wrongCodes.empty();
  }));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(wrongCodes, std::vector<std::string>{"127.0.0.1"});
  }
  blocked = true;
  auto refused = WebSocketTestClient::connect(static_cast<std::uint16_t>(port), false);
  refused->sendRaw("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(refused->readToEnd(300ms), "");
  server->stop();
}

TEST(BrowserServerGuardTest, WithoutACertificateBrowserAccessStaysOff) {
  BrowserServer::Parts parts;
  parts.port = freePort();
  parts.identity = [] { return std::optional<TlsIdentity>(); };
  auto server = BrowserServer::create(std::move(parts));
  server->start(kCode);
  ASSERT_TRUE(eventually([&] { return server->problem().has_value(); }));
  EXPECT_FALSE(server->address());
  EXPECT_EQ(server->problem(), "No certificate could be made for browser access.");
  server->stop();
}

}  // namespace ambrel
