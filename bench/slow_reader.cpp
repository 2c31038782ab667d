// A viewer that stops reading: a real ambrel-host process on its own virtual display (a picture of
// noise redrawn 50 times a second) streams to a reader and to a viewer that reads nothing for
// STALL seconds and then reads again. Prints the reader's frames per second through the stall,
// and how the stalled viewer comes back: how long until the keyframe it rejoins with once it reads
// again, or that the host ended it (a viewer stalled for the silence limit, 20 s, is ended).
//
//   bench_slow_reader [STALL]        (default 30; needs port 5895 free)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/VirtualDisplay.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/HostProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using namespace std::chrono_literals;
using corvel::protocol::MessageType;
using Clock = std::chrono::steady_clock;

corvel::protocol::Hello helloFrom(const std::string& name) {
  corvel::protocol::Hello hello;
  hello.deviceName = name;
  hello.protocolVersion = static_cast<int>(corvel::protocol::corvelProtocolVersion);
  return hello;
}

}  // namespace

int main(int argc, char** argv) {
  const int stall = argc > 1 ? std::atoi(argv[1]) : 30;
  auto display = ambrel::VirtualDisplay::start({1280, 720, 24});
  if (!display) {
    std::cerr << "no virtual display: " << display.error().message() << "\n";
    return 1;
  }
  const std::string name = (*display)->name();
  std::atomic<bool> animating{true};
  std::thread animation([&] {
    corvel::test::ScreenPainter painter(name);
    for (std::uint32_t seed = 1; animating; ++seed) {
      painter.noise(0, 0, 1280, 720, seed);
      std::this_thread::sleep_for(20ms);
    }
  });

  const std::string hostPath = std::filesystem::path(argv[0]).parent_path() / "ambrel-host";
  corvel::test::TemporaryFolder clientHome;
  ::setenv("AMBREL_HOME", clientHome.path().c_str(), 1);
  corvel::test::HostProcess host(hostPath, {.settings = R"({"askBeforeConnecting": false})",
                                            .environment = {{"AMBREL_LOG_LEVEL", "error"}, {"DISPLAY", name}},
                                            .readyText = "Listener: Ready"});
  if (!host.isReady()) {
    std::cerr << "host did not start:\n" << host.process().errors();
    animating = false;
    animation.join();
    return 1;
  }
  const std::string code = host.accessCode();

  // The reader counts its video packets as they come.
  std::atomic<int> readerFrames{0};
  std::atomic<bool> readerReady{false};
  corvel::security::SecureIdentity readerIdentity("slow-reader.reader");
  corvel::net::CorvelConnection::Handlers handlers;
  handlers.state = [&](const corvel::net::ConnectionState& s) {
    if (s.kind == corvel::net::ConnectionState::Kind::ready) readerReady = true;
  };
  handlers.message = [&](MessageType type, corvel::Bytes&) {
    if (type == MessageType::video) readerFrames.fetch_add(1);
  };
  auto reader = corvel::net::CorvelConnection::client({"127.0.0.1", 5895}, code, std::move(handlers),
                                                      {.identity = &readerIdentity});
  reader->start();
  for (int i = 0; i < 100 && !readerReady; ++i) std::this_thread::sleep_for(100ms);
  reader->sendJSON(MessageType::hello, helloFrom("Reader"));
  std::this_thread::sleep_for(3s);

  // Both viewers ping every second, as real ones do, so neither is ended as silent for that.
  std::unique_ptr<corvel::test::RawPeer> slow;
  std::unique_ptr<corvel::secure::SecureMessageChannel> channel;
  auto perSecond = [&](int seconds, bool pingSlow) {
    std::vector<int> rates;
    for (int i = 0; i < seconds; ++i) {
      const int before = readerFrames.load();
      reader->send(MessageType::ping, {});
      if (pingSlow) {
        try {
          slow->sendFrame(MessageType::ping, channel->seal({}));
        } catch (const std::exception&) {
          pingSlow = false;  // the host ended it
        }
      }
      std::this_thread::sleep_for(1s);
      rates.push_back(readerFrames.load() - before);
    }
    return rates;
  };
  const auto base = perSecond(5, false);

  // The stalled viewer: a small receive buffer, a hello, then nothing read.
  slow = std::make_unique<corvel::test::RawPeer>(5895, corvel::security::AccessCode::key(code), 4096);
  corvel::security::SecureIdentity slowIdentity("slow-reader.slow");
  channel = slow->runClientHandshake(slowIdentity);
  auto hello = corvel::JSONCoding::encode(helloFrom("Slow"));
  slow->sendFrame(MessageType::hello, channel->seal(*hello));
  const auto during = perSecond(stall, true);

  // Reading again: what was queued first (it begins with the keyframe it joined with), then the
  // time to the keyframe it rejoins with.
  const auto resumed = Clock::now();
  double keyframeAfter = -1;
  int videos = 0, keyframes = 0;
  bool closed = false;
  while (Clock::now() - resumed < 30s) {
    auto frame = slow->readFrame();
    if (!frame) {
      closed = true;
      break;
    }
    auto payload = channel->open(frame->second);
    if (frame->first != MessageType::video) continue;
    ++videos;
    auto packet = corvel::media::VideoPacket::parse(payload);
    if (packet && packet->isKeyframe && ++keyframes == 2) {
      keyframeAfter = std::chrono::duration<double, std::milli>(Clock::now() - resumed).count();
      break;
    }
  }
  // It goes on reading while the reader is measured for 5 more seconds.
  std::vector<int> after;
  if (closed) {
    after = perSecond(5, false);
  } else {
    auto second = Clock::now();
    int before = readerFrames.load();
    while (after.size() < 5) {
      auto frame = slow->readFrame();
      if (!frame) break;
      (void)channel->open(frame->second);
      if (Clock::now() - second >= 1s) {
        after.push_back(readerFrames.load() - before);
        before = readerFrames.load();
        second = Clock::now();
        reader->send(MessageType::ping, {});
      }
    }
  }
  reader->cancel();
  animating = false;
  animation.join();

  auto print = [](const char* label, const std::vector<int>& rates) {
    std::printf("%-28s", label);
    for (int r : rates) std::printf(" %3d", r);
    std::printf("\n");
  };
  std::printf("reader's frames per second\n");
  print("  before the stall", base);
  print("  during the stall", during);
  print("  after it", after);
  if (closed) {
    std::printf("the host ended the stalled viewer (after %d video packets read back)\n", videos);
  } else if (keyframeAfter >= 0) {
    std::printf("stalled viewer: rejoined with a keyframe %.0f ms after it read again (%d video packets read)\n",
                keyframeAfter, videos);
  } else {
    std::printf("stalled viewer: no keyframe within 30 s of reading again (%d video packets)\n", videos);
  }
  return 0;
}
