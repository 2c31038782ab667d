// Encoding cost of a 1080p NV12 frame with motion, and the cost of writing and parsing packets.
#include <benchmark/benchmark.h>

#include <chrono>

#include "CorvelKit/media/AvcodecVideoEncoder.h"
#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/media/VideoDepacketizer.h"
#include "tests/media/SyntheticVideo.h"

namespace {

using namespace corvel;
using namespace corvel::media;

void encodeH264(benchmark::State& state, const char* preset) {
  AvcodecVideoEncoder encoder(12'000'000, 60, {.x264Preset = preset});
  std::size_t bytes = 0;
  encoder.setOnPacket([&](VideoPacket p) { bytes += p.avcc.size(); });
  // A handful of pictures drawn ahead, so that drawing is not measured.
  std::vector<testing::SyntheticPicture> pictures(8, testing::SyntheticPicture(1920, 1080));
  for (std::size_t i = 0; i < pictures.size(); ++i) pictures[i].draw(static_cast<int>(i));
  std::int64_t frame = 0;
  for (auto _ : state) {
    encoder.encode(pictures[static_cast<std::size_t>(frame) % pictures.size()].frame(),
                   std::chrono::microseconds(frame * 16'667));
    ++frame;
  }
  state.counters["kbit/frame"] = benchmark::Counter(static_cast<double>(bytes) * 8 / 1000 / static_cast<double>(frame));
  state.SetItemsProcessed(frame);
}
BENCHMARK_CAPTURE(encodeH264, veryfast, "veryfast")->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_CAPTURE(encodeH264, superfast, "superfast")->Unit(benchmark::kMillisecond)->MinTime(3);

VideoPacket samplePacket(std::size_t payload) {
  VideoPacket p;
  p.isKeyframe = true;
  p.timestampMicros = 123'456'789;
  p.parameterSets = {Bytes(24, 0x67), Bytes(6, 0x68)};
  p.avcc.resize(payload);
  storeU32BE(p.avcc.data(), static_cast<std::uint32_t>(payload - 4));
  p.avcc[4] = 0x65;
  return p;
}

void packetWrite(benchmark::State& state) {
  const VideoPacket p = samplePacket(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(p.encoded());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(packetWrite)->Arg(25'000)->Arg(250'000);

void packetParse(benchmark::State& state) {
  const Bytes wire = samplePacket(static_cast<std::size_t>(state.range(0))).encoded();
  for (auto _ : state) benchmark::DoNotOptimize(VideoPacket::parse(wire));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(packetParse)->Arg(25'000)->Arg(250'000);

}  // namespace

BENCHMARK_MAIN();
