// The host's sound path, on this machine:
//
//   1. AAC-ELD encoding and decoding of one 10 ms packet (480 frames, 48 kHz stereo, 128 kbit/s),
//      and what a hundred of them a second cost as a share of one core;
//   2. a real `ambrel-host` on a private Xvfb (a still screen, so video costs next to nothing)
//      and a private sound server playing a 1 kHz tone into a null sink, with one viewer
//      (`corvel view --headless`): the host's CPU with `shareSound` on and off (the difference is
//      the sound path: capture, encoding, sealing, sending), next to the sound server's own
//      recorder (`parec` of the same monitor, 10 ms fragments) as the reference for capture alone;
//   3. the added delay end to end: the tone is switched on after quiet, again and again; from the
//      moment its first sample reaches the sink's output (write time plus the playback stream's
//      latency) to the moment the viewer holds the decoded packet that carries it.
//
// CPU is read from /proc/PID/stat over `--seconds` after a warm-up; runs alternate and repeat,
// medians are reported. The host needs a private network namespace for its fixed ports: run as
// root.
//
//   bench_sound [--seconds N] [--repeats N] [--onsets N]

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CorvelKit/media/AudioDecoder.h"
#include "CorvelKit/media/AudioEncoder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/PulseServer.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ToneAnalysis.h"
#include "tests/support/TonePlayer.h"
#include "tests/support/XvfbServer.h"

namespace {

using corvel::test::cpuSeconds;

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using SteadyClock = std::chrono::steady_clock;

std::string binDir() { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); }

// Share of one core that `pid` used over `seconds`.
double cpuShare(pid_t pid, int seconds) {
  const double c0 = cpuSeconds(pid);
  const auto t0 = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double c1 = cpuSeconds(pid);
  return (c1 - c0) / std::chrono::duration<double>(SteadyClock::now() - t0).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void codecCost() {
  auto encoder = corvel::media::AudioEncoder::create(48000, 2, 128000);
  if (!encoder) {
    std::printf("no AAC-ELD encoder in this build\n");
    return;
  }
  auto decoder = corvel::media::AudioDecoder::create(encoder->streamFormat());
  const int packets = 3000;  // 30 s of sound
  const auto pcm = corvel::test::ToneAnalysis::sine(1000, 48000, 2, 480 * packets);
  std::vector<corvel::Bytes> encoded;
  const auto e0 = SteadyClock::now();
  for (int i = 0; i < packets; ++i) {
    auto out = encoder->encode({48000, 2, std::span(pcm).subspan(static_cast<std::size_t>(i) * 960, 960)});
    for (auto& p : out) encoded.push_back(std::move(p));
  }
  const double encodeUs = std::chrono::duration<double, std::micro>(SteadyClock::now() - e0).count() / packets;
  const auto d0 = SteadyClock::now();
  for (const auto& p : encoded) (void)decoder->decode(p);
  const double decodeUs = std::chrono::duration<double, std::micro>(SteadyClock::now() - d0).count() /
                          static_cast<double>(encoded.size());
  std::printf("codec, per 10 ms packet:  encode %.1f us (%.2f %% of a core at 100/s), "
              "decode %.1f us (%.2f %%)\n",
              encodeUs, encodeUs / 100.0, decodeUs, decodeUs / 100.0);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10, repeats = 3, onsets = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--seconds") seconds = v;
    else if (a == "--repeats") repeats = v;
    else if (a == "--onsets") onsets = v;
  }
  codecCost();

  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
    std::printf("(the real host left out: no private network namespace for its fixed ports; run as root)\n");
    return 0;
  }
  corvel::test::XvfbServer screen("1280x720x24");
  corvel::test::PulseServer sound;
  if (!screen.isRunning() || !sound.isRunning()) {
    std::printf("no Xvfb or sound server: %s %s\n", screen.errors().c_str(), sound.errors().c_str());
    return 1;
  }
  corvel::test::TonePlayer tone(sound.address(), 1000);
  tone.setTone(true);
  corvel::test::HostProcess host(
      binDir() + "/ambrel-host",
      {.settings = R"({"askBeforeConnecting": false})",
       .environment = {{"DISPLAY", screen.displayName()}, {"PULSE_SERVER", sound.address()}}});
  if (!host.isReady()) {
    std::printf("host did not start: %s\n", host.process().errors().c_str());
    return 1;
  }
  corvel::test::TemporaryFolder clientHome;
  ChildProcess viewer(binDir() + "/corvel",
                      {"view", "127.0.0.1", "--code", host.accessCode(), "--headless", "--seconds", "3600"},
                      {{"AMBREL_HOME", clientHome.path().string()}});
  auto setting = [&](const char* value) {
    ChildProcess p(binDir() + "/ambrel-host", {"settings", "shareSound", value},
                   {{"AMBREL_HOME", host.home().string()}});
    (void)p.wait(30s);
  };
  std::this_thread::sleep_for(3s);

  std::vector<double> on, off, reference;
  for (int r = 0; r < repeats; ++r) {
    setting("true");
    std::this_thread::sleep_for(2s);
    on.push_back(cpuShare(host.process().pid(), seconds));
    setting("false");
    std::this_thread::sleep_for(2s);
    off.push_back(cpuShare(host.process().pid(), seconds));
    ChildProcess parec("/usr/bin/parec",
                       {"--server=" + sound.address(), "-d", std::string(corvel::test::PulseServer::sinkName) + ".monitor",
                        "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=10", "--raw",
                        "/dev/null"});
    std::this_thread::sleep_for(2s);
    reference.push_back(cpuShare(parec.pid(), seconds));
  }
  std::printf("host CPU, one viewer, still screen, tone playing (share of one core, median of %d × %d s):\n"
              "  shareSound on  %5.2f %%\n  shareSound off %5.2f %%\n  sound path     %5.2f %%\n"
              "  reference: parec of the same monitor alone %5.2f %%\n",
              repeats, seconds, 100 * median(on), 100 * median(off), 100 * (median(on) - median(off)),
              100 * median(reference));

  // Delay: quiet, then the tone, `onsets` times; each onset pairs with the first "heard" line
  // after it.
  setting("true");
  std::this_thread::sleep_for(2s);
  const auto firstOnset = tone.onsets().size();
  for (int i = 0; i < onsets; ++i) {
    tone.setTone(false);
    std::this_thread::sleep_for(700ms);
    tone.setTone(true);
    std::this_thread::sleep_for(500ms);
  }
  std::vector<SteadyClock::time_point> heard;
  const std::string text = viewer.output();
  const std::regex line("sound heard at (\\d+) ns");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    heard.emplace_back(std::chrono::nanoseconds(std::stoll((*it)[1])));
  }
  const auto played = tone.onsets();
  std::vector<double> delays;
  for (std::size_t i = firstOnset; i < played.size(); ++i) {
    auto after = std::find_if(heard.begin(), heard.end(), [&](auto t) { return t >= played[i] - 5ms; });
    if (after == heard.end()) continue;
    const double ms = std::chrono::duration<double, std::milli>(*after - played[i]).count();
    if (ms < 500) delays.push_back(ms);
  }
  std::sort(delays.begin(), delays.end());
  if (delays.empty()) {
    std::printf("no onsets heard\n%s\n", text.c_str());
    return 1;
  }
  std::printf("added delay, tone at the sink's output -> decoded at the viewer (%zu of %d onsets): "
              "median %.1f ms, min %.1f ms, max %.1f ms\n",
              delays.size(), onsets, median(delays), delays.front(), delays.back());
  return 0;
}
