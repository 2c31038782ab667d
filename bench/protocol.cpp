// Throughput of the wire protocol layer: framing (write + parse) and the JSON of input events.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/CorvelFramer.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/ModifierBits.h"

namespace {

using corvel::Bytes;
using corvel::ByteView;
using corvel::JSONCoding;
using namespace corvel::protocol;

Bytes samplePayload(std::size_t size) {
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return payload;
}

// Writes one frame and parses it back from a single read.
void BM_FrameWriteAndParse(benchmark::State& state) {
  const Bytes payload = samplePayload(static_cast<std::size_t>(state.range(0)));
  Bytes wire;
  CorvelFramer framer;
  std::size_t received = 0;
  for (auto _ : state) {
    wire.clear();
    if (!CorvelFramer::appendFrame(wire, MessageType::video, payload)) state.SkipWithError("write");
    framer.feed(wire, [&](MessageType, ByteView p) { received += p.size(); });
    benchmark::DoNotOptimize(received);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (payload.size() + 8)));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FrameWriteAndParse)->Arg(64)->Arg(60 * 1024);

// Parses frames that arrive cut into 16 KiB reads (a TLS record each), so payloads are gathered.
void BM_FrameParseInRecords(benchmark::State& state) {
  const Bytes payload = samplePayload(static_cast<std::size_t>(state.range(0)));
  const Bytes wire = *CorvelFramer::frame(MessageType::video, payload);
  constexpr std::size_t record = 16 * 1024;
  CorvelFramer framer;
  std::size_t received = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < wire.size(); at += record) {
      framer.feed(ByteView(wire).subspan(at, std::min(record, wire.size() - at)),
                  [&](MessageType, ByteView p) { received += p.size(); });
    }
    benchmark::DoNotOptimize(received);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_FrameParseInRecords)->Arg(60 * 1024);

const InputEvent kMouseMove{InputEvent::MouseMove{812.5, 433.25}};
const InputEvent kKey{InputEvent::Key{0x24, true, ModifierBits::command | ModifierBits::shift}};

void BM_InputEventEncode(benchmark::State& state, const InputEvent& event) {
  for (auto _ : state) {
    auto encoded = JSONCoding::encode(event);
    benchmark::DoNotOptimize(encoded);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK_CAPTURE(BM_InputEventEncode, mouseMove, kMouseMove);
BENCHMARK_CAPTURE(BM_InputEventEncode, key, kKey);

void BM_InputEventDecode(benchmark::State& state, const InputEvent& event) {
  const Bytes text = *JSONCoding::encode(event);
  for (auto _ : state) {
    auto decoded = JSONCoding::decode<InputEvent>(text);
    if (!decoded) state.SkipWithError("decode");
    benchmark::DoNotOptimize(decoded);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK_CAPTURE(BM_InputEventDecode, mouseMove, kMouseMove);
BENCHMARK_CAPTURE(BM_InputEventDecode, key, kKey);

}  // namespace

BENCHMARK_MAIN();
