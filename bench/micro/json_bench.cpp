#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "host/json/json.h"
#include "host/text/text.h"
#include "host/base64/base64.h"

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

// The request as it comes from the channel: UTF-8, contentFile held narrow
// where it stands (the copy it is parsed from is made outside the timing).
void JsonParseRequestUtf8(benchmark::State& state) {
  const std::string text = wideToUtf8(documentMessage(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    state.PauseTiming();
    std::string taken = text;
    state.ResumeTiming();
    benchmark::DoNotOptimize(parseJsonTaking(taken, u"contentFile"));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(JsonParseRequestUtf8)->Arg(64)->Unit(benchmark::kMillisecond);

// The escaping pass a document answer's parts go through, into a reused
// buffer: base64 (a '/' in 64 bytes) and the complete answer's text (its
// escaped '\/' escaped again).
void JsonEscapePass(benchmark::State& state) {
  const auto bytes = randomBytes(kMiB / 2);
  std::string text = base64Encode(bytes.data(), bytes.size());
  if (state.range(0) == 1) {
    std::string once;
    appendEscapedUtf8(once, text);
    text = once;
  }
  std::string out;
  for (auto _ : state) {
    out.clear();
    appendEscapedUtf8(out, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(JsonEscapePass)->Arg(0)->Arg(1);

void JsonEscapedFit(benchmark::State& state) {
  const auto bytes = randomBytes(kMiB / 2);
  const std::string text = base64Encode(bytes.data(), bytes.size());
  for (auto _ : state) benchmark::DoNotOptimize(escapedUtf8Fit(text, text.size() * 2));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(JsonEscapedFit);

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
