#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "host/json/json.h"
#include "host/text/text.h"
#include "host/word/base64.h"

namespace ormid::bench {
namespace {

// A request or answer object with a few short fields and one large base64
// "contentFile" member of `mib` MiB.
std::u16string documentMessage(std::size_t mib) {
  const auto bytes = randomBytes(mib * kMiB / 4 * 3);
  const std::string content = base64Encode(bytes.data(), bytes.size());
  const std::string text = R"({"messageId":"m-1","contentId":"c-1","command":"openDocument",)"
                           R"("nameFile":"report.docx","workingDirectory":"","contentFile":")" +
                           content + R"("})";
  std::u16string wide;
  utf8ToWide(text, wide);
  return wide;
}

void JsonParseRequest(benchmark::State& state) {
  const std::u16string text = documentMessage(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(parseJson(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));  // code units
}
BENCHMARK(JsonParseRequest)->Arg(64)->Unit(benchmark::kMillisecond);

// Serializing the answer; base64 holds a '/' (escaped) every 64 characters on average.
void JsonStringify(benchmark::State& state) {
  const auto tree = parseJson(documentMessage(static_cast<std::size_t>(state.range(0))));
  const auto size = static_cast<int64_t>(stringify(*tree).size());
  for (auto _ : state) benchmark::DoNotOptimize(stringify(*tree));
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(JsonStringify)->Arg(64)->Unit(benchmark::kMillisecond);

void JsonStringifyUtf8(benchmark::State& state) {
  const auto tree = parseJson(documentMessage(static_cast<std::size_t>(state.range(0))));
  const auto size = static_cast<int64_t>(stringifyUtf8(*tree).size());
  for (auto _ : state) benchmark::DoNotOptimize(stringifyUtf8(*tree));
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(JsonStringifyUtf8)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ormid::bench
