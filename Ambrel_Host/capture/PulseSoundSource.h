#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Ambrel_Host/capture/SoundSource.h"

struct pa_mainloop;

namespace ambrel {

// Records the monitor of the sound server's default output through its client library (served by
// PulseAudio and by PipeWire's compatible server). The server comes from PULSE_SERVER or the
// library's usual places; it is never started on demand. When it is missing or goes away, the
// source says so and tries again every `retryDelay`; when the default output changes, it follows.
//
// The server offers no way to leave one program's playback out of a monitor: what the host plays
// itself is heard too (it plays nothing of its own while it runs headless).
class PulseSoundSource final : public SoundSource {
 public:
  static constexpr std::chrono::milliseconds retryDelay{1000};
  static constexpr int sampleRate = 48000;
  static constexpr int channels = 2;
  // Blocks of about one packet, so a packet leaves as soon as its sound is there.
  static constexpr int framesPerBlock = 480;

  PulseSoundSource();
  ~PulseSoundSource() override;

  void setBlockHandler(BlockHandler handler) override;
  void setStatusHandler(StatusHandler handler) override;
  void start() override;
  void stop() override;

 private:
  struct Session;

  void run();
  void runSession();
  void report(const std::string& status, bool capturing);

  std::thread thread_;
  std::atomic<bool> stopping_{false};
  BlockHandler onBlock_;    // set before start()
  StatusHandler onStatus_;  // set before start()

  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  pa_mainloop* mainloop_ = nullptr;  // the running session's, to wake it for stop()

  // Capture thread only.
  std::string lastStatus_;
};

}  // namespace ambrel
