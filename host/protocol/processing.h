// Request processing: one request text in, one answer text out. Validates the
// request, settles the working directory, hands commands to the main thread
// and builds the answer, delivering document answers in parts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "host/core/core.h"
#include "host/json/json.h"
#include "host/protocol/document_text.h"
#include "ormid/platform/platform.h"

namespace ormid {

// The most a browser accepts in one message from a host; a larger one closes
// the port. No answer is ever longer.
inline constexpr std::size_t kMaxAnswerBytes = 1'048'576;

// Document answers waiting for their next parts are bounded: beyond either
// limit the oldest is dropped (its next request starts afresh).
inline constexpr std::size_t kMaxPendingAnswers = 4;
inline constexpr std::size_t kMaxPendingBytes = std::size_t{512} << 20;

// The answer to a frame that could not be read or decoded.
inline constexpr std::string_view kUnreadableAnswer =
    R"({"status":{"description":"JSON failed to parse","result":"error"}})";
// The answer when memory ran out and not even the request's own error answer
// could be built.
inline constexpr std::string_view kNoMemoryAnswer =
    R"({"status":{"description":"Error alocate memory file","result":"error"}})";

// The default working directory: "ormid_doc_editor" in the temporary
// directory, ending in the path separator.
std::string defaultWorkingDirectory();

struct PendingLimits {
  std::size_t answers = kMaxPendingAnswers;
  std::size_t bytes = kMaxPendingBytes;
};

class DocEditorJsonProcessing {
 public:
  using HandOff = std::function<void(CommandMessage, CommandInputs, CommandOutputs&)>;
  // Makes the last level of a working directory; its outcome is not needed.
  using CreateDirectory = std::function<void(const std::string& path)>;

  explicit DocEditorJsonProcessing(HandOff handOff, PendingLimits limits = {},
                                   CreateDirectory createDirectory = platform::createDirectory);

  // Appends to `answer` the UTF-8 text of the one answer to `message`, the
  // UTF-8 text of a request of `length` bytes on the channel (released once
  // parsed: it may hold a whole document). Never throws: a request that cannot
  // be handled (memory runs out) is answered with an error, and nothing is
  // appended only when not even that could be built.
  void processingMessage(std::string message, std::uint32_t length, std::string& answer) noexcept;

  // Builds the answer for a request (null when it did not parse or is not an
  // object). For "getDocument" and "saveAndGetDocument" the complete answer,
  // with the base64 of `document` (the file's bytes) as its contentFile, is
  // kept and delivered part by part. The answer is appended to `answer`.
  void createAnswer(const JsonValue* request, std::uint32_t length, const std::u16string& result,
                    const std::u16string& description, std::string document, std::string& answer);

  // Largest part of a pending answer for a request of `length` bytes, before
  // the cut is moved back to a character boundary and the answer is fitted
  // into kMaxAnswerBytes.
  static std::size_t partSizeBound(std::uint32_t length, std::size_t remaining);

  std::size_t pendingAnswers() const { return splitMessages_.size(); }
  std::size_t pendingBytes() const { return pendingBytes_; }

 private:
  // A complete answer being delivered in parts, and the request it answers:
  // a repeated request that names another command, file or directory is not
  // its continuation. The complete answer is `before`, the document's text
  // (its base64, made from its bytes as the parts go out), then `after`.
  struct PendingAnswer {
    std::string before;
    std::string document;
    std::string after;
    std::size_t beforeSent = 0;
    DocumentTextPosition documentSent;
    std::size_t afterSent = 0;
    std::u16string command;
    std::optional<std::u16string> workingDirectory;
    std::u16string nameFile;
    std::uint64_t serial = 0;  // order of creation, for dropping the oldest
    std::size_t held() const { return before.size() + document.size() + after.size(); }
  };
  using Pending = std::map<std::u16string, PendingAnswer>;

  void dispatch(JsonValue& request, std::u16string& result, std::u16string& description,
                std::string& document);
  void documentCommand(JsonValue& request, const std::u16string& command, const std::u16string& messageId,
                       std::u16string& result, std::u16string& description, std::string& document);
  void run(CommandMessage message, CommandInputs inputs, std::u16string& result, std::u16string& description,
           std::string* document);
  Pending::iterator continuation(const JsonValue* request, const std::u16string& messageId,
                                 const std::u16string& command);
  Pending::iterator addPending(const JsonValue* request, const std::u16string& messageId,
                               const std::u16string& command, const JsonValue& base, std::string document);
  // Bytes of the complete answer not yet delivered: exact when fewer than
  // `atLeast`, otherwise `atLeast` (the rest of a document is not read for it).
  static std::size_t left(const PendingAnswer& entry, std::size_t atLeast);
  // Appends the next `count` bytes of the complete answer (fewer where it
  // ends); how many of them came from before, the document and after.
  static std::array<std::size_t, 3> appendNext(const PendingAnswer& entry, std::size_t count,
                                               std::string& out);
  void dropPending(Pending::iterator entry, const char* why);
  void erasePending(Pending::iterator entry);
  void answerFailure(const JsonValue* request, std::uint32_t length, std::string& answer) noexcept;

  HandOff handOff_;
  PendingLimits limits_;
  CreateDirectory createDirectory_;
  Pending splitMessages_;
  std::size_t pendingBytes_ = 0;
  std::uint64_t serial_ = 0;
  std::string window_;  // the text of a part that needs escaping, before it is escaped
};

}  // namespace ormid
