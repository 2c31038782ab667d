#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace corvel::test {

// Sine tones to play and the frequency and onset of what comes back, for the sound tests.
struct ToneAnalysis {
  // Interleaved float PCM: a sine of `frequency` at `amplitude` on every channel.
  static std::vector<float> sine(double frequency, double sampleRate, int channels,
                                 std::size_t frames, double amplitude = 0.5,
                                 std::size_t startFrame = 0);
  // The first channel of interleaved PCM.
  static std::vector<float> firstChannel(std::span<const float> interleaved, int channels);
  // The frequency of the strongest bin (with parabolic interpolation) of a Hann-windowed FFT of
  // the first power of two of samples; nothing for fewer than 1024 samples or pure silence.
  static std::optional<double> dominantFrequency(std::span<const float> mono, double sampleRate);
  // The first sample whose magnitude reaches `threshold`.
  static std::optional<std::size_t> onset(std::span<const float> mono, float threshold);
  // Root mean square.
  static double rms(std::span<const float> mono);
};

}  // namespace corvel::test
