#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Ambrel_Host/capture/SoundSource.h"
#include "Ambrel_Host/capture/SoundTarget.h"
#include "CorvelKit/media/AudioEncoder.h"

namespace ambrel {

// The host's sound: source → AAC-ELD encoder → `audio` messages to the targets that may hear it.
// Each target gets the stream's `audioFormat` once, ahead of its first packet: when it is handed
// over already hearing, at once (so the format goes ahead of the video that follows), else before
// the first packet it hears. Packets leave as the encoder makes them, one message each, with no
// pacing and no flow control.
//
// Threads: blocks arrive, are encoded and fanned out on the source's thread; the encoder belongs
// to it. `mutex_` guards the targets, who has the format, the status and the counters, and is
// never held while a target is called. start(), stop() and setTargets() belong to the owner's
// thread.
class SoundStream : public std::enable_shared_from_this<SoundStream> {
 public:
  struct Statistics {
    std::int64_t blocks = 0;
    std::int64_t droppedBlocks = 0;  // of a format the encoder does not take
    std::int64_t packets = 0;
    std::int64_t bytes = 0;
  };

  static std::shared_ptr<SoundStream> create(std::unique_ptr<SoundSource> source,
                                             std::unique_ptr<corvel::media::AudioEncoder> encoder);
  ~SoundStream();
  SoundStream(const SoundStream&) = delete;
  SoundStream& operator=(const SoundStream&) = delete;

  void start();
  // Waits for the source; no packet leaves once it returns.
  void stop();
  void setTargets(std::vector<std::shared_ptr<SoundTarget>> targets);

  const corvel::protocol::AudioStreamFormat& format() const { return format_; }
  std::string status() const;
  Statistics statistics() const;

 private:
  SoundStream(std::unique_ptr<SoundSource> source,
              std::unique_ptr<corvel::media::AudioEncoder> encoder);
  void handleBlock(const corvel::media::PcmView& pcm);
  void setStatus(const std::string& status);
  // Under mutex_: the targets of `hearing` that lack the format, now marked as having it; the
  // caller sends it to them.
  std::vector<std::shared_ptr<SoundTarget>> toInformLocked(
      const std::vector<std::shared_ptr<SoundTarget>>& hearing);

  const std::unique_ptr<SoundSource> source_;
  const corvel::protocol::AudioStreamFormat format_;

  // Source thread only.
  std::unique_ptr<corvel::media::AudioEncoder> encoder_;

  mutable std::mutex mutex_;  // guards the fields below
  std::vector<std::shared_ptr<SoundTarget>> targets_;
  std::set<std::weak_ptr<SoundTarget>, std::owner_less<>> informed_;  // have the format
  std::string status_ = "Sound: starting";
  Statistics stats_;
  bool stopped_ = false;
};

}  // namespace ambrel
