#include "tests/support/TonePlayer.h"

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#if CORVEL_HAVE_PULSE_SIMPLE
#include <pulse/error.h>
#include <pulse/simple.h>
#endif

namespace corvel::test {

TonePlayer::TonePlayer(std::string server, double frequency, double amplitude)
    : server_(std::move(server)), frequency_(frequency), amplitude_(amplitude) {
  thread_ = std::thread([this] { run(); });
  // Until the stream is up or has failed.
  while (!started_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TonePlayer::~TonePlayer() {
  stopping_ = true;
  thread_.join();
}

std::string TonePlayer::errors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::vector<std::chrono::steady_clock::time_point> TonePlayer::onsets() const {
  std::lock_guard lock(mutex_);
  return onsets_;
}

void TonePlayer::run() {
#if !CORVEL_HAVE_PULSE_SIMPLE
  {
    std::lock_guard lock(mutex_);
    errors_ = "this build has no sound client library (no tone of " + std::to_string(frequency_) +
              " Hz at " + std::to_string(amplitude_) + ")";
  }
  started_ = true;
#else
  constexpr int rate = 48000, channels = 2, block = 480;
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, channels};
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = block * 2 * channels * sizeof(float);  // 20 ms ahead of the output
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(-1);
  int error = 0;
  pa_simple* stream = pa_simple_new(server_.c_str(), "corvel tests", PA_STREAM_PLAYBACK, nullptr,
                                    "tone", &spec, nullptr, &attr, &error);
  if (!stream) {
    std::lock_guard lock(mutex_);
    errors_ = std::string("no playback stream: ") + pa_strerror(error);
    started_ = true;
    return;
  }
  connected_ = true;
  started_ = true;
  std::vector<float> samples(block * channels);
  std::uint64_t toneFrame = 0;
  bool wasTone = false;
  while (!stopping_) {
    const bool tone = tone_;
    for (int i = 0; i < block; ++i) {
      float v = 0;
      if (!tone) toneFrame = 0;
      if (tone) {
        v = static_cast<float>(amplitude_ * std::sin(2 * std::numbers::pi * frequency_ *
                                                     static_cast<double>(toneFrame++) / rate));
      }
      for (int c = 0; c < channels; ++c) samples[static_cast<std::size_t>(i * channels + c)] = v;
    }
    if (tone && !wasTone) {
      // What is queued ahead of this block plays first.
      const pa_usec_t latency = pa_simple_get_latency(stream, &error);
      std::lock_guard lock(mutex_);
      onsets_.push_back(std::chrono::steady_clock::now() + std::chrono::microseconds(latency));
    }
    wasTone = tone;
    if (pa_simple_write(stream, samples.data(), samples.size() * sizeof(float), &error) < 0) {
      std::lock_guard lock(mutex_);
      errors_ = std::string("playback failed: ") + pa_strerror(error);
      connected_ = false;
      break;
    }
  }
  pa_simple_free(stream);
#endif
}

}  // namespace corvel::test
