#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "host/base64/base64.h"

namespace ormid::bench {
namespace {

void Base64Encode(benchmark::State& state) {
  const auto bytes = randomBytes(static_cast<std::size_t>(state.range(0)) * kMiB);
  for (auto _ : state) benchmark::DoNotOptimize(base64Encode(bytes.data(), bytes.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Base64Encode)->Arg(8)->Unit(benchmark::kMillisecond);

// Throughput counted in decoded bytes, comparable with the encoder.
void Base64Decode(benchmark::State& state) {
  const auto bytes = randomBytes(static_cast<std::size_t>(state.range(0)) * kMiB);
  const std::string text = base64Encode(bytes.data(), bytes.size());
  // Into one reused buffer, as the host and the client decode.
  std::vector<unsigned char> out;
  for (auto _ : state) {
    base64Decode(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Base64Decode)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ormid::bench
