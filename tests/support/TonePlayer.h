#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvel::test {

// Plays into a sound server, in real time, 48 kHz stereo: silence until asked, then a sine tone.
// Knows when the tone's first sample reaches the server's output (write time plus the stream's
// latency then), for delay measurements.
class TonePlayer {
 public:
  TonePlayer(std::string server, double frequency, double amplitude = 0.5);
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

  // Whether the server took the stream; the error otherwise.
  bool isPlaying() const { return connected_; }
  std::string errors() const;

  // From the next 10 ms block on.
  void setTone(bool on) { tone_ = on; }
  // When each switch from silence to the tone reached the server's output, in order.
  std::vector<std::chrono::steady_clock::time_point> onsets() const;

 private:
  void run();

  const std::string server_;
  const double frequency_;
  const double amplitude_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> tone_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> started_{false};
  mutable std::mutex mutex_;
  std::string errors_;
  std::vector<std::chrono::steady_clock::time_point> onsets_;
  std::thread thread_;
};

}  // namespace corvel::test
