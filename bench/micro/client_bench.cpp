#include <benchmark/benchmark.h>

#include <map>

#include "bench_data.h"
#include "client/client.h"
#include "host/channel/channel.h"
#include "host/protocol/processing.h"

namespace ormid::bench {
namespace {

// The frames of every part of a getDocument answer of `size` bytes, made by the
// host's own code once (benchmark runs repeat the function).
const std::vector<std::string>& partFrames(std::size_t size) {
  static std::map<std::size_t, std::vector<std::string>> made;
  std::vector<std::string>& frames = made[size];
  if (!frames.empty()) return frames;
  const auto bytes = randomBytes(size);
  const std::string request =
      R"({"messageId":"m-1","contentId":"c-1","command":"getDocument","nameFile":"report.docx"})";
  DocEditorJsonProcessing processing(
      [&](CommandMessage, CommandInputs, CommandOutputs& outputs) {
        outputs.result = u"success";
        outputs.document.assign(bytes.begin(), bytes.end());
      },
      {}, [](const std::string&) {});
  for (bool last = false; !last;) {
    std::string storage(kFrameHeader, '\0');
    processing.processingMessage(request, static_cast<std::uint32_t>(request.size()), storage);
    last = storage.find(R"("split":{"last":true)") != std::string::npos;
    frames.push_back(storage.substr(kFrameHeader));
  }
  return frames;
}

// The client's share of a 64 MiB getDocument: every part's frame is copied
// into a buffer (as it is read), parsed and taken, the document decoded on the way into a sink that keeps
// nothing (no pipe, no file).
void ClientJoinParts(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const std::vector<std::string>& frames = partFrames(size);
  std::size_t read = 0;
  for (auto _ : state) {
    client::AnswerJoiner joiner;
    std::size_t decoded = 0;
    joiner.streamDocument([&](std::string_view more) {
      decoded += more.size();
      return true;
    });
    std::string body;
    for (const std::string& frame : frames) {
      // Into one buffer first, as the client reads each frame.
      body.assign(frame);
      std::string error;
      joiner.take(client::parseFrame(body, error));
      read += body.size();
    }
    if (decoded != size) state.SkipWithError("the document did not come whole");
  }
  state.SetBytesProcessed(static_cast<int64_t>(read));
}
BENCHMARK(ClientJoinParts)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ormid::bench
