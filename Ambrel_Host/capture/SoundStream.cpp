#include "Ambrel_Host/capture/SoundStream.h"

#include <utility>

namespace ambrel {

std::shared_ptr<SoundStream> SoundStream::create(
    std::unique_ptr<SoundSource> source, std::unique_ptr<corvel::media::AudioEncoder> encoder) {
  std::shared_ptr<SoundStream> stream(new SoundStream(std::move(source), std::move(encoder)));
  std::weak_ptr<SoundStream> weak = stream;
  stream->source_->setBlockHandler(
      [weak](const corvel::media::PcmView& pcm, std::chrono::steady_clock::time_point) {
        if (auto self = weak.lock()) self->handleBlock(pcm);
      });
  stream->source_->setStatusHandler([weak](const std::string& status, bool) {
    if (auto self = weak.lock()) self->setStatus(status);
  });
  return stream;
}

SoundStream::SoundStream(std::unique_ptr<SoundSource> source,
                         std::unique_ptr<corvel::media::AudioEncoder> encoder)
    : source_(std::move(source)), format_(encoder->streamFormat()), encoder_(std::move(encoder)) {}

SoundStream::~SoundStream() { stop(); }

void SoundStream::start() { source_->start(); }

void SoundStream::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  source_->stop();
  std::vector<std::shared_ptr<SoundTarget>> targets;
  std::lock_guard lock(mutex_);
  targets.swap(targets_);
}

namespace {
// Asked with no lock of ours held: each target answers under its own.
std::vector<std::shared_ptr<SoundTarget>> hearing(const std::vector<std::shared_ptr<SoundTarget>>& targets) {
  std::vector<std::shared_ptr<SoundTarget>> out;
  for (const auto& t : targets) {
    if (t->hearsSound()) out.push_back(t);
  }
  return out;
}
}  // namespace

void SoundStream::setTargets(std::vector<std::shared_ptr<SoundTarget>> targets) {
  const auto listening = hearing(targets);
  std::vector<std::shared_ptr<SoundTarget>> inform;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    inform = toInformLocked(listening);
  }
  // The format goes out before the source thread sees these targets: no packet overtakes it.
  for (const auto& target : inform) target->sendAudioFormat(format_);
  std::lock_guard lock(mutex_);
  if (!stopped_) targets_.swap(targets);
}

std::vector<std::shared_ptr<SoundTarget>> SoundStream::toInformLocked(
    const std::vector<std::shared_ptr<SoundTarget>>& listening) {
  // Forget the targets that are gone, so a later one never passes for one that has the format.
  std::erase_if(informed_, [](const std::weak_ptr<SoundTarget>& t) { return t.expired(); });
  std::vector<std::shared_ptr<SoundTarget>> inform;
  for (const auto& target : listening) {
    if (informed_.insert(target).second) inform.push_back(target);
  }
  return inform;
}

std::string SoundStream::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

SoundStream::Statistics SoundStream::statistics() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

void SoundStream::setStatus(const std::string& status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void SoundStream::handleBlock(const corvel::media::PcmView& pcm) {
  std::vector<std::shared_ptr<SoundTarget>> targets;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    ++stats_.blocks;
    if (!encoder_->acceptsInput(pcm)) {
      // Another rate or layout than the stream's: dropped, never resampled.
      ++stats_.droppedBlocks;
      return;
    }
  }
  auto packets = encoder_->encode(pcm);
  if (packets.empty()) return;
  std::vector<std::shared_ptr<SoundTarget>> inform;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stats_.packets += static_cast<std::int64_t>(packets.size());
    for (const auto& p : packets) stats_.bytes += static_cast<std::int64_t>(p.size());
    targets = targets_;
  }
  const auto listening = hearing(targets);
  {
    std::lock_guard lock(mutex_);
    inform = toInformLocked(listening);
  }
  for (const auto& target : inform) target->sendAudioFormat(format_);
  for (const auto& target : listening) {
    for (const auto& packet : packets) target->sendAudio(packet);
  }
}

}  // namespace ambrel
