#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/AudioDecoder.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"

namespace corvel::tool {

// The host's sound on the viewer's side: each `audioFormat` makes a new decoder, each `audio`
// packet is decoded and played through SDL (or, headless, only decoded and counted), and written
// to a WAV file when asked.
class SoundPlayer {
 public:
  using Clock = std::chrono::steady_clock;

  SoundPlayer(bool play, std::optional<std::string> wavFile);
  ~SoundPlayer();
  SoundPlayer(const SoundPlayer&) = delete;
  SoundPlayer& operator=(const SoundPlayer&) = delete;

  void receiveFormat(ByteView payload);
  void receivePacket(ByteView payload);
  // Whether a format came at all, and the packets since the last call.
  bool hasSound() const { return formats_ > 0; }
  long takeSecondPackets() { return std::exchange(secondPackets_, 0); }
  // The totals, for the end of the session.
  std::string summary() const;

 private:
  void openOutput(const protocol::AudioStreamFormat& format);
  void writeWav(const media::PcmBuffer& pcm);
  void finishWav();

  const bool play_;
  const std::optional<std::string> wavPath_;
  std::unique_ptr<media::AudioDecoder> decoder_;
  std::uint32_t device_ = 0;
  int deviceChannels_ = 0;
  std::FILE* wav_ = nullptr;
  int wavChannels_ = 0;
  double wavRate_ = 0;
  std::uint64_t wavSamples_ = 0;

  long formats_ = 0;
  long packets_ = 0;
  long secondPackets_ = 0;
  long decoded_ = 0;
  std::uint64_t frames_ = 0;
  long quietPackets_ = 1L << 20;  // quiet packets in a row; the stream starts as after quiet
  std::optional<Clock::time_point> lastArrival_;
  std::vector<double> gapsMs_;
};

}  // namespace corvel::tool
