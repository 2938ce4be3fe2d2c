// The parts of the command-line client that do not touch the operating system:
// reading the command line, building requests, framing, joining answers that
// come in parts, and showing messages to a person.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
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
  void feed(std::string_view bytes);
  // Room for at least `size` bytes to be read into, after what was fed (what
  // was handed out is dropped first); wrote() then says how many were.
  std::span<char> room(std::size_t size);
  void wrote(std::size_t size) { size_ += size; }
  // The next complete frame's body among what was fed, valid until more is
  // fed. After tooLarge the stream cannot be resynchronised and the reader
  // stays in that state.
  Status next(std::string_view& body);
  // Bytes fed that do not yet make a frame.
  std::size_t pending() const { return size_ - offset_; }

 private:
  std::size_t maxBody_;
  // Filled up to size_, handed out up to offset_; never zero-filled first.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0, size_ = 0, offset_ = 0;
  bool broken_ = false;
};

// A message from the host. When it is a part of an answer, the part's string
// is left as it stands in the frame (its value in `value` is empty): `part`
// is its text with its escapes, valid as long as the frame's body is.
struct Message {
  std::unique_ptr<JsonValue> value;
  std::string_view part;
};

// The message a frame's body holds; `value` null and `error` set when it is
// not UTF-8 JSON.
Message parseFrame(std::string_view body, std::string& error);

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

// The text of an answer that comes in parts, each part a JSON string's body
// as it stands in its frame: its escapes are undone as it arrives, and a
// surrogate pair cut between two parts is joined.
class PartText {
 public:
  // Appends the text of `part` to `out` as UTF-8.
  void append(std::string_view part, std::string& out);
  // The same for its first character (a byte, or an escape), taken off it.
  void appendOne(std::string_view& part, std::string& out);
  // After the last part: a first half of a pair left alone is written.
  void finish(std::string& out);
  // Whether the first half of a surrogate pair waits for the second.
  bool waiting() const { return high_ != 0; }

 private:
  void flushHigh(std::string& out);
  char16_t high_ = 0;
};

// The text of a complete answer as it arrives in parts (as PartText), with
// its document taken out on the way: the base64 of the top-level contentFile
// string is decoded as it comes and handed to a sink, and the rest of the
// text is kept with "" in the string's place. The document is then never held
// whole, neither as text nor as bytes.
class DocumentStream {
 public:
  // Takes decoded bytes; false when they could not be kept.
  using Sink = std::function<bool(std::string_view bytes)>;

  explicit DocumentStream(Sink sink);
  // Appends what is kept of the next part's text to `kept`.
  void feed(std::string_view part, std::string& kept);
  // After the last part: false when the document's string was not
  // well-formed JSON, came twice, or the sink failed.
  bool finish(std::string& kept);
  // Whether a contentFile string was met (and taken out).
  bool met() const { return met_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  // The answer's text with its escapes as a part undone (a character of it
  // at a time), through the answer's structure or its document.
  void text(std::string_view text, std::string& kept);
  void structure(char c, std::string& kept);
  void content(std::string_view& text);
  // Stages the run of the document's plain characters at the start of a
  // part's text (see copyPlain); true when it stopped because the staging
  // was full.
  bool stagePlain(std::string_view& part);
  void stage(char c);
  // Decodes the whole groups staged, or all that is staged at the end.
  void decodeStaged(bool last);
  void flush();

  Sink sink_;
  PartText partText_;
  std::string character_;  // one character of a part's text
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

  // Whether `message` is a part that more parts follow: take() will then ask
  // for the next one, and the request may be sent before the part is taken.
  static bool morePartsFollow(const Message& message);

  Step take(Message message);
  // After complete: the answer, joined and parsed when it came in parts (its
  // contentFile then held narrow when ASCII, or gone when it was streamed).
  std::unique_ptr<JsonValue> takeComplete() { return std::move(complete_); }
  const std::string& error() const { return error_; }
  int parts() const { return parts_; }
  // Whether a document was streamed, and its size.
  bool streamed() const { return stream_ && stream_->met(); }
  std::uint64_t streamedBytes() const { return stream_ ? stream_->bytes() : 0; }

 private:
  std::string joined_;  // UTF-8
  PartText partText_;
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
