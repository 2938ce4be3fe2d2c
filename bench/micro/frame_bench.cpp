#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "host/channel/channel.h"
#include "host/protocol/processing.h"

namespace ormid::bench {
namespace {

// Every part of a 64 MiB getDocument answer, made and framed into the
// reader's reused buffer, and written to an output that takes the bytes
// (the frame writer's share, without a pipe).
void FrameGetDocumentParts(benchmark::State& state) {
  const auto bytes = randomBytes(static_cast<std::size_t>(state.range(0)) * kMiB);
  const std::string document(bytes.begin(), bytes.end());
  const std::string request =
      R"({"messageId":"m-1","contentId":"c-1","command":"getDocument","nameFile":"report.docx"})";
  std::size_t written = 0;
  const WriteBytes write = [&](const void*, std::size_t size) {
    written += size;
    return true;
  };
  for (auto _ : state) {
    // The command hands its document over, as the host's does; the copy it
    // hands over is made outside the timing.
    state.PauseTiming();
    std::string held = document;
    state.ResumeTiming();
    DocEditorJsonProcessing processing(
        [&](CommandMessage, CommandInputs, CommandOutputs& outputs) {
          outputs.result = u"success";
          outputs.document = std::move(held);
        },
        {}, [](const std::string&) {});
    std::string storage;
    for (bool last = false; !last;) {
      storage.assign(kFrameHeader, '\0');
      processing.processingMessage(request, static_cast<std::uint32_t>(request.size()), storage);
      last = storage.find(R"("split":{"last":true)") != std::string::npos;
      writeFramed(write, storage);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(written));
}
BENCHMARK(FrameGetDocumentParts)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ormid::bench
