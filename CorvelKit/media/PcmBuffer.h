#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace corvel::media {

// A borrowed run of PCM: 32-bit float samples, channels interleaved, nominally within ±1.
struct PcmView {
  double sampleRate = 0;
  int channels = 0;
  std::span<const float> samples;

  std::size_t frames() const {
    return channels > 0 ? samples.size() / static_cast<std::size_t>(channels) : 0;
  }
};

// Owned PCM in the same layout, as a decoder hands it out.
struct PcmBuffer {
  double sampleRate = 0;
  int channels = 0;
  std::vector<float> samples;

  std::size_t frames() const {
    return channels > 0 ? samples.size() / static_cast<std::size_t>(channels) : 0;
  }
  PcmView view() const { return {sampleRate, channels, samples}; }
};

}  // namespace corvel::media
