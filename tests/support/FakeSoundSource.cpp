#include "tests/support/FakeSoundSource.h"

namespace ambrel::test {

FakeSoundSource::~FakeSoundSource() { stop(); }

void FakeSoundSource::start() {
  std::lock_guard lock(log_->mutex);
  ++log_->starts;
  log_->running = true;
  log_->current = this;
}

void FakeSoundSource::stop() {
  std::lock_guard lock(log_->mutex);
  if (log_->current != this) return;
  ++log_->stops;
  log_->running = false;
  log_->current = nullptr;
}

// The log's lock is held through the call, as a real source's thread runs until stop() joins it.
bool FakeSoundSource::play(Log& log, double sampleRate, int channels, std::span<const float> samples) {
  std::lock_guard lock(log.mutex);
  if (!log.current || !log.current->onBlock_) return false;
  log.current->onBlock_({sampleRate, channels, samples}, std::chrono::steady_clock::now());
  return true;
}

bool FakeSoundSource::say(Log& log, const std::string& status, bool capturing) {
  std::lock_guard lock(log.mutex);
  if (!log.current || !log.current->onStatus_) return false;
  log.current->onStatus_(status, capturing);
  return true;
}

}  // namespace ambrel::test
