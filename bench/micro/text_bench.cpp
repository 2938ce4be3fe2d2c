#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "host/text/text.h"
#include "host/base64/base64.h"

namespace ormid::bench {
namespace {

std::string asciiText(std::size_t mib) {
  const auto bytes = randomBytes(mib * kMiB / 4 * 3);
  return base64Encode(bytes.data(), bytes.size());
}

// Throughput in UTF-8 bytes in both directions.
void Utf8ToWideAscii(benchmark::State& state) {
  const std::string text = asciiText(static_cast<std::size_t>(state.range(0)));
  std::u16string wide;
  for (auto _ : state) {
    benchmark::DoNotOptimize(utf8ToWide(text, wide));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(Utf8ToWideAscii)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

void Utf8ToWideMixed(benchmark::State& state) {
  const std::string text = mixedUtf8(static_cast<std::size_t>(state.range(0)) * kMiB);
  std::u16string wide;
  for (auto _ : state) {
    benchmark::DoNotOptimize(utf8ToWide(text, wide));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(Utf8ToWideMixed)->Arg(8)->Unit(benchmark::kMillisecond);

void WideToUtf8Ascii(benchmark::State& state) {
  const std::string text = asciiText(static_cast<std::size_t>(state.range(0)));
  std::u16string wide;
  utf8ToWide(text, wide);
  for (auto _ : state) benchmark::DoNotOptimize(wideToUtf8(wide));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(WideToUtf8Ascii)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

void WideToUtf8Mixed(benchmark::State& state) {
  const std::string text = mixedUtf8(static_cast<std::size_t>(state.range(0)) * kMiB);
  std::u16string wide;
  utf8ToWide(text, wide);
  for (auto _ : state) benchmark::DoNotOptimize(wideToUtf8(wide));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(WideToUtf8Mixed)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ormid::bench
