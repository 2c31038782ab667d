#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "Ambrel_Host/capture/SoundSource.h"

namespace ambrel::test {

// A sound source that plays what the test hands it, on the test's thread, and counts how often
// it was started and stopped. Shared state lives in `Log`, which outlives the source.
class FakeSoundSource final : public SoundSource {
 public:
  struct Log {
    std::mutex mutex;
    int starts = 0;
    int stops = 0;
    bool running = false;
    FakeSoundSource* current = nullptr;  // the running source, if any
  };

  explicit FakeSoundSource(std::shared_ptr<Log> log) : log_(std::move(log)) {}
  ~FakeSoundSource() override;

  void setBlockHandler(BlockHandler handler) override { onBlock_ = std::move(handler); }
  void setStatusHandler(StatusHandler handler) override { onStatus_ = std::move(handler); }
  void start() override;
  void stop() override;

  // Through the running source of `log`: false when none runs.
  static bool play(Log& log, double sampleRate, int channels, std::span<const float> samples);
  static bool say(Log& log, const std::string& status, bool capturing);

 private:
  std::shared_ptr<Log> log_;
  BlockHandler onBlock_;
  StatusHandler onStatus_;
};

}  // namespace ambrel::test
