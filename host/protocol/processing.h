// Request processing: one request text in, one answer text out. Validates the
// request, settles the working directory, hands commands to the main thread
// and builds the answer, delivering document answers in parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "host/channel/handoff.h"
#include "host/json/json.h"

namespace ormid {

// The most a browser accepts in one message from a host; larger ones close the port.
inline constexpr std::size_t kMaxAnswerBytes = 1'048'576;

// The default working directory: "ormid_doc_editor" in the temporary
// directory, created when missing, ending in the path separator.
std::string defaultWorkingDirectory();

class DocEditorJsonProcessing {
 public:
  using HandOff = std::function<void(CommandMessage, CommandInputs, CommandOutputs&)>;

  explicit DocEditorJsonProcessing(HandOff handOff);

  // Fills `answer` with the UTF-8 text of the one answer to `message`, a
  // request of `length` bytes on the channel.
  void processingMessage(const std::u16string& message, std::uint32_t length, std::string& answer);

  // Builds the answer for a request (null when it did not parse or is not an
  // object). For "getDocument" and "saveAndGetDocument" the complete answer
  // is kept and delivered part by part.
  void createAnswer(const JsonValue* request, std::uint32_t length, const std::u16string& result,
                    const std::u16string& description, std::string content, std::string& answer);

  // Largest part of a pending answer for a request of `length` bytes, before
  // the cut is moved back to a character boundary and the answer is fitted
  // into kMaxAnswerBytes.
  static std::size_t partSizeBound(std::uint32_t length, std::size_t remaining);

  std::size_t pendingAnswers() const { return splitMessages_.size(); }

 private:
  void dispatch(const JsonValue& request, std::u16string& result, std::u16string& description,
                std::string& content);
  void documentCommand(const JsonValue& request, const std::u16string& command,
                       const std::u16string& messageId, std::u16string& result, std::u16string& description,
                       std::string& content);
  void run(CommandMessage message, CommandInputs inputs, std::u16string& result, std::u16string& description,
           std::string* content);

  struct PendingAnswer {
    std::string text;        // the complete answer, UTF-8
    std::size_t offset = 0;  // how much of it has been delivered
  };

  HandOff handOff_;
  std::map<std::u16string, PendingAnswer> splitMessages_;
};

}  // namespace ormid
