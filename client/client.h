// The parts of the command-line client that do not touch the operating system:
// reading the command line, building requests, framing, joining answers that
// come in parts, and showing messages to a person.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/json/json.h"

namespace ormid::client {

// Browsers close the port on a frame from the host over 1 MiB; the client
// accepts more so it can show such a frame, but not without bound.
inline constexpr std::size_t kBrowserFrameLimit = 1024 * 1024;
inline constexpr std::size_t kMaxFrameBody = 256u * 1024 * 1024;

inline constexpr char16_t kToHost[] = u"ormidDocEditorNative";
inline constexpr char16_t kToPage[] = u"ormidDocEditorWebPage";

// ---- Framing: a 4-byte little-endian length, then the UTF-8 body ----

std::string encodeFrame(std::string_view body);

class FrameReader {
 public:
  enum class Status { needMore, frame, tooLarge };

  explicit FrameReader(std::size_t maxBody = kMaxFrameBody) : maxBody_(maxBody) {}
  void feed(std::string_view bytes) { input().append(bytes); }
  // Where bytes read are appended (what was handed out is dropped first).
  std::string& input();
  // The next complete frame's body among what was fed, valid until more is
  // fed. After tooLarge the stream cannot be resynchronised and the reader
  // stays in that state.
  Status next(std::string_view& body);
  // Bytes fed that do not yet make a frame.
  std::size_t pending() const { return buffer_.size() - offset_; }

 private:
  std::size_t maxBody_;
  std::string buffer_;
  std::size_t offset_ = 0;
  bool broken_ = false;
};

// The message a frame's body holds; null and `error` set when it is not
// UTF-8 JSON.
std::unique_ptr<JsonValue> parseFrame(std::string_view body, std::string& error);

// ---- The command line ----

// One request as written on the command line: either a JSON object text, or
// a command with key=value fields.
struct CommandLineRequest {
  std::string json;
  std::string command;
  std::vector<std::pair<std::string, std::string>> fields;
};

struct Options {
  std::string host;         // command that starts the host; empty: the one beside the client
  std::string out;          // file that receives the returned document
  int timeoutSeconds = 60;  // longest wait for one answer
  bool help = false;
  std::vector<CommandLineRequest> requests;
};

struct ParsedArguments {
  bool ok = false;
  std::string error;
  Options options;
};

ParsedArguments parseArguments(const std::vector<std::string>& args);
std::string usage(std::string_view program);

// ---- Building requests ----

// Reads a whole file as bytes; false when it cannot be read.
using FileReader = std::function<bool(const std::string& path, std::string& bytes)>;

struct BuiltRequest {
  std::unique_ptr<JsonValue> value;  // null when error is set
  std::string error;
};

// The request object for a command-line request, with messageId, contentId and destination
// filled in when it has none. `sequence` makes the filled-in ids unique.
BuiltRequest buildRequest(const CommandLineRequest& given, int sequence, const FileReader& readFile);

// ---- Reading answers ----

// A string member of an object, or empty.
std::u16string stringMember(const JsonValue& value, std::u16string_view key);
const JsonValue* member(const JsonValue& value, std::u16string_view key);

// Event messages answer no request: they carry no messageId.
bool isEventMessage(const JsonValue& message);

// "success", "error", or empty when the answer has no status.
std::u16string resultOf(const JsonValue& answer);

// The text of a complete answer as it arrives, a piece at a time, with its
// document taken out on the way: the base64 of the top-level contentFile
// string is decoded as it comes and handed to a sink, and the rest of the
// text is kept with "" in the string's place. The document is then never held
// whole, neither as text nor as bytes.
class DocumentStream {
 public:
  // Takes decoded bytes; false when they could not be kept.
  using Sink = std::function<bool(std::string_view bytes)>;

  explicit DocumentStream(Sink sink) : sink_(std::move(sink)) {}
  // Appends what is kept of `text` to `kept`.
  void feed(std::string_view text, std::string& kept);
  // After the last piece: false when the document's string was not
  // well-formed JSON, came twice, or the sink failed.
  bool finish();
  // Whether a contentFile string was met (and taken out).
  bool met() const { return met_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  void structure(char c, std::string& kept);
  void content(std::string_view& text);
  void stage(char c);
  // Decodes the whole groups staged, or all that is staged at the end.
  void decodeStaged(bool last);
  void flush();

  Sink sink_;
  // Where the scan is in the answer's structure.
  int depth_ = 0;
  bool inString_ = false, escape_ = false;
  bool expectKey_ = false, inKey_ = false, afterKey_ = false, afterColon_ = false;
  std::string key_;  // the top-level key being read, up to one byte longer than "contentFile"
  bool isContentKey_ = false;
  // In the document's string: escapes cut between pieces wait here.
  bool inContent_ = false, met_ = false, bad_ = false, stopped_ = false;
  bool escaping_ = false;      // after a backslash
  std::string escapePending_;  // the "uXXXX" of an escape so far
  // The document's characters, escapes undone, gather in `staging_`; whole
  // groups are decoded from there into `decoded_`, which goes to the sink
  // when full.
  std::string staging_;
  std::size_t staged_ = 0;
  std::vector<unsigned char> decoded_;
  std::size_t used_ = 0;
  std::uint64_t bytes_ = 0;
};

// Collects the answers to one request. Answers that carry a document come in
// parts: each holds the next piece of the complete answer's text, and the
// client asks again with the same request until the last piece.
class AnswerJoiner {
 public:
  enum class Step { complete, needNextPart, failed };

  // The document of an answer in parts goes to `sink` as it arrives (see
  // DocumentStream) instead of into the complete answer.
  void streamDocument(DocumentStream::Sink sink) { stream_.emplace(std::move(sink)); }

  // Whether `answer` is a part that more parts follow: take() will then ask
  // for the next one, and the request may be sent before the part is taken.
  static bool morePartsFollow(const JsonValue& answer);

  Step take(std::unique_ptr<JsonValue> answer);
  // After complete: the answer, joined and parsed when it came in parts (its
  // contentFile then held narrow when ASCII, or gone when it was streamed).
  std::unique_ptr<JsonValue> takeComplete() { return std::move(complete_); }
  const std::string& error() const { return error_; }
  int parts() const { return parts_; }
  // Whether a document was streamed, and its size.
  bool streamed() const { return stream_ && stream_->met(); }
  std::uint64_t streamedBytes() const { return stream_ ? stream_->bytes() : 0; }

 private:
  std::string joined_;          // UTF-8
  char16_t highSurrogate_ = 0;  // ending the last part, waiting for its pair
  std::optional<DocumentStream> stream_;
  std::unique_ptr<JsonValue> complete_;
  std::string error_;
  int parts_ = 0;
};

// ---- Showing messages ----

// Indented JSON for a person; strings longer than `maxString` code units show
// their beginning and their length (document content runs to megabytes).
std::string describe(const JsonValue& value, std::size_t maxString = 72);

}  // namespace ormid::client
