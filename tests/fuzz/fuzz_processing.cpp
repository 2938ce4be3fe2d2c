// Requests end to end, from frames to answers, with a main thread that
// answers at once: every frame gets exactly one answer, no answer is longer
// than a browser takes, and every answer is a JSON object in well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/channel/channel.h"
#include "host/json/json.h"
#include "host/text/text.h"

namespace {

// Document content grows with the square of the name asked for: short names
// keep most runs quick, long ones make transfers go in parts. Descriptions
// carry the name, so that they hold any text.
void answerAtOnce(ormid::CommandMessage message, ormid::CommandInputs inputs,
                  ormid::CommandOutputs& outputs) {
  const bool fails = !inputs.nameFile.empty() && inputs.nameFile[0] == 'x';
  outputs.result = fails ? u"error" : u"success";
  if (fails) outputs.description = ormid::fromAnsi(inputs.nameFile);
  if (message == ormid::getDocumentMessage || message == ormid::saveAndGetDocumentMessage) {
    // The name's bytes over and over: its base64 has whatever the name gives.
    const std::string& name = inputs.nameFile;
    outputs.document.resize(std::min<std::size_t>(name.size() * name.size() * 200, 1'200'000));
    for (std::size_t i = 0; i < outputs.document.size(); ++i) outputs.document[i] = name[i % name.size()];
  }
}

bool isJsonObject(std::string_view answer) {
  std::u16string wide;
  if (!ormid::utf8ToWide(answer, wide)) return false;
  const auto parsed = ormid::parseJson(wide);
  return parsed && parsed->isObject();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Nothing on the file system is touched: directories are not made.
  ormid::DocEditorJsonProcessing processing(answerAtOnce, {}, [](const std::string&) {});
  std::size_t position = 0;
  const ormid::ReadBytes read = [&](void* out, std::size_t wanted) {
    const std::size_t n = std::min(wanted, size - position);
    std::memcpy(out, data + position, n);
    position += n;
    return n;
  };
  std::string storage;
  for (;;) {
    ormid::Frame frame = ormid::readFrame(read);
    if (frame.length == 0) break;
    const std::string_view answer = ormid::DocEditorStdinStdout::answerFrame(processing, frame, storage);
    if (answer.empty() || answer.size() > ormid::kMaxAnswerBytes || !isJsonObject(answer)) std::abort();
  }
  return 0;
}
