// Costs of the security layer: access-key derivation (first and cached), a whole handshake with
// both roles in this process, and sealing/opening 64 KiB payloads. Compare the AES-GCM figures
// with `openssl speed -evp aes-256-gcm -bytes 65536` on the same machine
// (scripts/bench-security.sh runs both).
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <benchmark/benchmark.h>

#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/AccessKeyCache.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace {

using corvel::Bytes;
using corvel::ByteView;
using corvel::secure::SecureHandshake;
using corvel::secure::SecureMessageChannel;
using corvel::security::AccessCode;
using corvel::security::AccessKeyCache;
using corvel::security::SecureIdentity;

constexpr std::size_t kPayload = 64 * 1024;

void AccessKeyFirstDerivation(benchmark::State& state) {
  for (auto _ : state) {
    AccessKeyCache::shared().removeAll();
    benchmark::DoNotOptimize(AccessCode::key("ABC-DEF-GHJ-KLM"));
  }
}
BENCHMARK(AccessKeyFirstDerivation)->Unit(benchmark::kMillisecond)->Iterations(5);

void AccessKeyCached(benchmark::State& state) {
  AccessCode::key("ABC-DEF-GHJ-KLM");
  for (auto _ : state) benchmark::DoNotOptimize(AccessCode::key("abc def ghj klm"));
}
BENCHMARK(AccessKeyCached)->Unit(benchmark::kNanosecond);

void FullHandshake(benchmark::State& state) {
  static SecureIdentity client("com.pinebay.corvel.identity.bench.client");
  static SecureIdentity server("com.pinebay.corvel.identity.bench.server");
  const Bytes accessKey(32, 0x42);
  for (auto _ : state) {
    SecureHandshake c(SecureHandshake::Role::client, accessKey, client);
    SecureHandshake s(SecureHandshake::Role::server, accessKey, server);
    auto finished = c.finish(s.respond(c.makeClientHello()));
    auto channel = s.complete(finished.finishMessage);
    benchmark::DoNotOptimize(channel);
  }
}
BENCHMARK(FullHandshake)->Unit(benchmark::kMillisecond);

struct Channels {
  Bytes keyA = Bytes(32, 1), keyB = Bytes(32, 2);
  SecureMessageChannel sender{keyA, keyB};
  SecureMessageChannel receiver{keyB, keyA};
};

// Sealing into a reused buffer with room for the tag.
void Seal64KiB(benchmark::State& state) {
  Channels ch;
  Bytes plain(kPayload, 0x5A);
  Bytes sealed(kPayload + SecureMessageChannel::tagSize);
  for (auto _ : state) {
    ch.sender.seal(plain, sealed);
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(Seal64KiB);

// Opening in place, as a connection does with a received payload.
void Open64KiB(benchmark::State& state) {
  Channels ch;
  const Bytes plain(kPayload, 0x5A);
  // Sealed ahead, outside the timing; batches keep memory bounded.
  constexpr std::size_t kBatch = 256;
  std::vector<Bytes> batch(kBatch);
  std::size_t next = kBatch;
  for (auto _ : state) {
    if (next == kBatch) {
      state.PauseTiming();
      for (auto& b : batch) b = ch.sender.seal(plain);
      next = 0;
      state.ResumeTiming();
    }
    ch.receiver.openInPlace(batch[next++]);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(Open64KiB);

// One message sealed and opened again, in a single buffer: bytes count once per round trip.
void SealOpen64KiB(benchmark::State& state) {
  Channels ch;
  Bytes buffer(kPayload + SecureMessageChannel::tagSize, 0x5A);
  for (auto _ : state) {
    buffer.resize(kPayload + SecureMessageChannel::tagSize);
    ch.sender.seal(ByteView(buffer).first(kPayload), buffer);
    ch.receiver.openInPlace(buffer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(SealOpen64KiB);

}  // namespace

int main(int argc, char** argv) {
  // The identities' seeds go to a throw-away secret store.
  std::string home = (std::filesystem::temp_directory_path() / "corvel-bench-XXXXXX").string();
  if (::mkdtemp(home.data()) == nullptr) return 1;
  ::setenv("AMBREL_HOME", home.c_str(), 1);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return 0;
}
