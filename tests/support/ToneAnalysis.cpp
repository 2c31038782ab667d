#include "tests/support/ToneAnalysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace corvel::test {

std::vector<float> ToneAnalysis::sine(double frequency, double sampleRate, int channels,
                                      std::size_t frames, double amplitude,
                                      std::size_t startFrame) {
  std::vector<float> out(frames * static_cast<std::size_t>(channels));
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(startFrame + i) / sampleRate;
    const auto v = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * t));
    for (int c = 0; c < channels; ++c) out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = v;
  }
  return out;
}

std::vector<float> ToneAnalysis::firstChannel(std::span<const float> interleaved, int channels) {
  std::vector<float> out;
  if (channels < 1) return out;
  for (std::size_t i = 0; i < interleaved.size(); i += static_cast<std::size_t>(channels)) {
    out.push_back(interleaved[i]);
  }
  return out;
}

std::optional<double> ToneAnalysis::dominantFrequency(std::span<const float> mono, double sampleRate) {
  std::size_t n = 1;
  while (n * 2 <= mono.size()) n *= 2;
  if (n < 1024) return std::nullopt;
  std::vector<std::complex<double>> a(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1));
    a[i] = mono[i] * w;
  }
  // Iterative radix-2 FFT.
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = -2 * std::numbers::pi / static_cast<double>(len);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> w(1);
      for (std::size_t k = 0; k < len / 2; ++k) {
        const auto u = a[i + k];
        const auto v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
  std::size_t best = 1;
  for (std::size_t k = 1; k < n / 2; ++k) {
    if (std::abs(a[k]) > std::abs(a[best])) best = k;
  }
  if (std::abs(a[best]) < 1e-6) return std::nullopt;
  double offset = 0;
  if (best + 1 < n / 2) {
    const double l = std::abs(a[best - 1]), c = std::abs(a[best]), r = std::abs(a[best + 1]);
    const double d = l - 2 * c + r;
    if (d != 0) offset = 0.5 * (l - r) / d;
  }
  return (static_cast<double>(best) + offset) * sampleRate / static_cast<double>(n);
}

std::optional<std::size_t> ToneAnalysis::onset(std::span<const float> mono, float threshold) {
  for (std::size_t i = 0; i < mono.size(); ++i) {
    if (std::fabs(mono[i]) >= threshold) return i;
  }
  return std::nullopt;
}

double ToneAnalysis::rms(std::span<const float> mono) {
  if (mono.empty()) return 0;
  double sum = 0;
  for (float s : mono) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(mono.size()));
}

}  // namespace corvel::test
