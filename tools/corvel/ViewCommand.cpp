#include "tools/corvel/ViewCommand.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include <boost/asio/steady_timer.hpp>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/SessionRecorder.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "tools/corvel/ClientSession.h"
#include "tools/corvel/SoundPlayer.h"
#include "tools/corvel/ViewerWindow.h"

namespace corvel::tool {

using protocol::MessageType;
using Clock = std::chrono::steady_clock;

namespace {
constexpr auto kWindowPollInterval = std::chrono::milliseconds(8);
}

int ViewCommand::run(const ViewOptions& options) {
  std::unique_ptr<media::SessionRecorder> recorder;
  if (options.record) {
    try {
      recorder = std::make_unique<media::SessionRecorder>(*options.record);
    } catch (const std::system_error& e) {
      std::cerr << "corvel: can't record to " << *options.record << ": " << e.what() << "\n";
      return ExitCode::usage;
    }
  }
  std::unique_ptr<ViewerWindow> window;
  if (!options.headless) {
    window = ViewerWindow::open("corvel — " + options.target);
    if (!window) return ExitCode::usage;
  }

  ClientSession session(options);
  // Everything below runs on the session's thread.
  media::VideoReceiver receiver;
  SoundPlayer sound(!options.headless, options.soundFile);
  long totalFrames = 0, totalBytes = 0;
  long secondFrames = 0, secondBytes = 0, secondKeyframes = 0;
  Clock::time_point firstVideo{};
  boost::asio::steady_timer ticker(session.executor());
  boost::asio::steady_timer windowTimer(session.executor());

  receiver.onSizeChange = [](int width, int height) {
    std::cout << "size " << width << "x" << height << std::endl;
  };
  receiver.onNeedKeyframe = [&] { session.connection().send(MessageType::keyframeRequest, {}); };
  receiver.onSample = [&](const media::VideoSample& sample) {
    if (sample.isKeyframe) ++secondKeyframes;
    if (recorder) recorder->append(sample);
  };
  receiver.onPicture = [&](const media::DecodedPicture& picture) {
    ++totalFrames;
    ++secondFrames;
    if (window) window->show(picture);
    if (options.frames && totalFrames >= *options.frames) session.finish(ExitCode::ok);
  };

  std::function<void()> tick = [&] {
    ticker.expires_after(std::chrono::seconds(1));
    ticker.async_wait([&](const boost::system::error_code& ec) {
      if (ec) return;
      std::cout << secondFrames << " frames/s, " << secondBytes * 8 / 1000 << " kbit/s, "
                << secondKeyframes << " keyframes/s";
      if (sound.hasSound()) std::cout << ", " << sound.takeSecondPackets() << " sound packets/s";
      std::cout << std::endl;
      secondFrames = secondBytes = secondKeyframes = 0;
      tick();
    });
  };
  std::function<void()> pumpWindow = [&] {
    windowTimer.expires_after(kWindowPollInterval);
    windowTimer.async_wait([&](const boost::system::error_code& ec) {
      if (ec) return;
      if (!window->pump()) return session.leave();
      pumpWindow();
    });
  };
  if (window) {
    window->onInput = [&](const protocol::InputEvent& event) {
      if (session.connection().isSecure()) session.connection().sendJSON(MessageType::input, event);
    };
    pumpWindow();
  }

  session.onHello = [](protocol::Hello& hello) { hello.supportsHEVC = true; };
  session.onReady = [&] { tick(); };
  session.onMessage = [&](MessageType type, const Bytes& payload) {
    if (type == MessageType::video) {
      if (totalBytes == 0) firstVideo = Clock::now();
      totalBytes += static_cast<long>(payload.size());
      secondBytes += static_cast<long>(payload.size());
      receiver.receive(payload);
    } else if (type == MessageType::audioFormat) {
      sound.receiveFormat(payload);
      if (recorder) {
        if (auto format = JSONCoding::decode<protocol::AudioStreamFormat>(payload)) recorder->setAudioFormat(*format);
      }
    } else if (type == MessageType::audio) {
      sound.receivePacket(payload);
      if (recorder) recorder->appendAudio(payload);
    } else if (type == MessageType::bye) {
      std::cout << "bye " << asString(payload) << std::endl;
    }
  };

  const int exitCode = session.run();
  ticker.cancel();
  windowTimer.cancel();
  receiver.stop();

  if (totalBytes > 0) {
    const double seconds =
        std::max(std::chrono::duration<double>(Clock::now() - firstVideo).count(), 0.001);
    std::printf("%ld frames in %.1f s: %.1f frames/s, %.0f kbit/s\n", totalFrames, seconds,
                static_cast<double>(totalFrames) / seconds,
                static_cast<double>(totalBytes) * 8.0 / seconds / 1000.0);
  }
  if (auto line = sound.summary(); !line.empty()) std::cout << line << std::endl;
  if (recorder) {
    if (auto path = recorder->finish()) {
      std::cout << "recorded " << path->string() << std::endl;
    } else {
      std::cout << "nothing recorded" << std::endl;
    }
  }
  return exitCode;
}

}  // namespace corvel::tool
