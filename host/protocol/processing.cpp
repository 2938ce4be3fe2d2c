#include "host/protocol/processing.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>

#include "host/base64/base64.h"
#include "host/core/log.h"
#include "host/policy/policy.h"
#include "host/protocol/request.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid {
namespace {

constexpr const char* kProcessing = "ormid::DocEditorJsonProcessing::processingMessage";
constexpr const char* kCreateAnswer = "ormid::DocEditorJsonProcessing::createAnswer";

// The "split" member of a part answer: its part goes in between.
constexpr std::string_view kSplitLast = R"({"last":true,"part":)";
constexpr std::string_view kSplitMore = R"({"last":false,"part":)";
constexpr std::string_view kSplitClose = "}";

bool isDocumentAnswer(const std::u16string& command) {
  return command == u"getDocument" || command == u"saveAndGetDocument";
}

void fail(std::u16string& result, std::u16string& description, const char16_t* text) {
  result = u"error";
  description = text;
  ORMID_LOG(error, kProcessing) << description;
}

// The code page's text of a file name or working directory, when it names
// exactly what the request named: a look-alike (Ł as L) or the replacement
// character would reach another file, or make two names one, and a NUL would
// end the path early in every file call.
bool toPath(std::u16string_view text, std::string& out) {
  return text.find(u'\0') == std::u16string_view::npos && toAnsiExact(text, out);
}

// Refuses a name as the document operations refuse an unsafe one.
void refuseName(std::u16string& result, std::u16string& description, std::u16string_view text) {
  result = u"error";
  description = u"Invalid file name";
  ORMID_LOG(error, kProcessing) << "Invalid file name " << text;
}

// The administrator's policy, asked before anything is created: where a
// document may be, and how large the content of "openDocument" may be.
bool admitted(const JsonValue& request, const std::u16string& command, const CommandInputs& inputs,
              bool hasName, std::u16string& result, std::u16string& description) {
  const policy::Policy& rules = policy::activePolicy();
  if (rules.state == policy::Policy::State::none) return true;
  policy::Verdict verdict = policy::checkLocation(
      rules, inputs.workingDirectory, hasName ? &inputs.nameFile : nullptr, defaultWorkingDirectory());
  if (verdict == policy::Verdict::allowed && command == u"openDocument") {
    const JsonObject& members = request.asObject();
    const auto found = members.find(u"contentFile");
    if (found != members.end() && found->second->isString()) {
      const JsonValue& content = *found->second;
      verdict = content.isNarrow() ? policy::checkContent(rules, content.asNarrow())
                                   : policy::checkContent(rules, content.asString());
    }
  }
  if (verdict == policy::Verdict::allowed) return true;
  result = u"error";
  description = policy::describe(verdict);
  ORMID_LOG(error, kProcessing) << description << ": " << fromAnsi(inputs.workingDirectory + inputs.nameFile);
  return false;
}

std::unique_ptr<JsonValue> str(std::u16string text) { return std::make_unique<JsonValue>(std::move(text)); }

bool isContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The echoed request fields and the status, common to every form of an answer.
JsonValue answerBase(const JsonValue* request, const std::u16string& result,
                     const std::u16string& description) {
  JsonObject base;
  std::u16string text;
  bool flag = false;
  if (getMessageId(request, text)) base[u"messageId"] = str(text);
  if (getContentId(request, text)) base[u"contentId"] = str(text);
  if (getDestination(request, text) && text == u"ormidDocEditorNative") {
    base[u"destination"] = str(u"ormidDocEditorWebExt");
  }
  if (getCommand(request, text)) base[u"command"] = str(text);
  if (getWorkingDirectory(request, text)) base[u"workingDirectory"] = str(text);
  if (getNameFile(request, text)) base[u"nameFile"] = str(text);
  if (getIsRemoveFile(request, flag)) base[u"isRemoveFile"] = std::make_unique<JsonValue>(flag);
  JsonObject status;
  if (!result.empty()) status[u"result"] = str(result);
  if (!description.empty()) status[u"description"] = str(description);
  if (!status.empty()) base[u"status"] = std::make_unique<JsonValue>(std::move(status));
  return JsonValue(std::move(base));
}

// What goes out instead of an answer that a browser would refuse for its
// size: the destination, the messageId when it fits (the page matches answers
// by it) and an error status; no other echoed field.
std::string reducedAnswer(const JsonValue* request, std::size_t size) {
  ORMID_LOG(error, kCreateAnswer) << "Answer too large: " << static_cast<unsigned long long>(size)
                                  << " bytes";
  JsonValue reduced{JsonObject{}};
  JsonObject& members = reduced.asObject();
  std::u16string text;
  if (getDestination(request, text) && text == u"ormidDocEditorNative") {
    members[u"destination"] = str(u"ormidDocEditorWebExt");
  }
  JsonObject status;
  status[u"result"] = str(u"error");
  status[u"description"] = str(u"Answer too large");
  members[u"status"] = std::make_unique<JsonValue>(std::move(status));
  std::string answer = stringifyUtf8(reduced);
  if (!getMessageId(request, text)) return answer;
  // ,"messageId": and the quoted identifier
  if (answer.size() + 13 + stringifyUtf8(JsonValue(text)).size() > kMaxAnswerBytes) return answer;
  members[u"messageId"] = str(std::move(text));
  return stringifyUtf8(reduced);
}

}  // namespace

std::string defaultWorkingDirectory() {
  const char separator = platform::pathSeparator();
  std::string directory = platform::tempPath();
  if (!directory.empty() && directory.back() != separator) directory += separator;
  directory += "ormid_doc_editor";
  directory += separator;
  return directory;
}

DocEditorJsonProcessing::DocEditorJsonProcessing(HandOff handOff, PendingLimits limits,
                                                 CreateDirectory createDirectory)
    : handOff_(std::move(handOff)), limits_(limits), createDirectory_(std::move(createDirectory)) {}

void DocEditorJsonProcessing::processingMessage(std::string message, std::uint32_t length,
                                                std::string& answer) noexcept {
  std::unique_ptr<JsonValue> request;
  try {
    std::u16string result;
    std::u16string description;
    std::string document;
    // A document's base64 stays narrow and is handed to the command as it is.
    request = parseJsonTaking(message, u"contentFile");
    std::string().swap(message);
    if (!request) {
      fail(result, description, u"JSON failed to parse");
    } else if (!request->isObject()) {
      fail(result, description, u"The root element is not an object");
      request.reset();  // nothing of a non-object is echoed
    } else {
      dispatch(*request, result, description, document);
    }
    createAnswer(request.get(), length, result, description, std::move(document), answer);
    return;
  } catch (...) {
    // Memory ran out somewhere on the way; the request still gets its answer.
  }
  answerFailure(request.get(), length, answer);
}

void DocEditorJsonProcessing::answerFailure(const JsonValue* request, std::uint32_t length,
                                            std::string& answer) noexcept {
  const std::size_t start = answer.size();
  try {
    if (!request) {
      ORMID_LOG(error, kProcessing) << "JSON failed to parse";
      answer += kUnreadableAnswer;
      return;
    }
    // A transfer in the middle of its failure may have lost a part: it is not
    // continued.
    std::u16string messageId;
    std::u16string command;
    if (getMessageId(request, messageId) && getCommand(request, command) && isDocumentAnswer(command)) {
      auto pending = splitMessages_.find(messageId);
      if (pending != splitMessages_.end()) dropPending(pending, "the request failed");
    }
    ORMID_LOG(error, kProcessing) << "Error alocate memory file";
    answer.resize(start);
    createAnswer(request, length, u"error", u"Error alocate memory file", {}, answer);
  } catch (...) {
    answer.resize(start);  // the caller sends kNoMemoryAnswer
  }
}

void DocEditorJsonProcessing::dispatch(JsonValue& request, std::u16string& result,
                                       std::u16string& description, std::string& document) {
  std::u16string messageId;
  std::u16string contentId;
  std::u16string command;
  if (!getMessageId(&request, messageId)) return fail(result, description, u"Request messageId not found");
  if (!getContentId(&request, contentId)) return fail(result, description, u"Request contentId not found");
  if (!getCommand(&request, command)) return fail(result, description, u"Request command not found");
  ORMID_LOG(debug, kProcessing) << "Command " << command << "...";

  static const std::u16string_view documentCommands[] = {
      u"openDocument",  u"saveDocument",   u"getDocument",   u"saveAndGetDocument",
      u"closeDocument", u"createDocument", u"removeDocument"};
  if (std::find(std::begin(documentCommands), std::end(documentCommands), command) !=
      std::end(documentCommands)) {
    documentCommand(request, command, messageId, result, description, document);
  } else if (command == u"openEditor") {
    run(openEditorMessage, {}, result, description, nullptr);
  } else if (command == u"closeEditor") {
    run(closeEditorMessage, {}, result, description, nullptr);
  } else {
    result = u"error";
    description = u"Unknow request command " + command;
    ORMID_LOG(error, kProcessing) << description;
  }
}

void DocEditorJsonProcessing::documentCommand(JsonValue& request, const std::u16string& command,
                                              const std::u16string& messageId, std::u16string& result,
                                              std::u16string& description, std::string& document) {
  CommandInputs inputs;
  std::u16string text;
  if (getWorkingDirectory(&request, text)) {
    if (!toPath(text, inputs.workingDirectory)) return refuseName(result, description, text);
    const char separator = platform::pathSeparator();
    if (!inputs.workingDirectory.empty() && inputs.workingDirectory.back() != separator) {
      inputs.workingDirectory += separator;
    }
  } else {
    inputs.workingDirectory = defaultWorkingDirectory();
  }
  // A refused name touches nothing, not even the working directory.
  const bool hasName = getNameFile(&request, text);
  if (hasName && !toPath(text, inputs.nameFile)) return refuseName(result, description, text);
  if (!admitted(request, command, inputs, hasName, result, description)) return;
  createDirectory_(inputs.workingDirectory);
  if (!hasName) return fail(result, description, u"Error parsing name file");

  if (command == u"openDocument") {
    // Moved, not copied: the content may be many megabytes.
    JsonObject& members = request.asObject();
    auto found = members.find(u"contentFile");
    if (found == members.end() || !found->second->isString()) {
      return fail(result, description, u"Error parsing content file");
    }
    JsonValue& value = *found->second;
    inputs.contentFile = value.isNarrow() ? value.takeNarrow() : toAnsi(value.asString());
    run(openDocumentMessage, std::move(inputs), result, description, nullptr);
  } else if (command == u"saveDocument") {
    run(saveDocumentMessage, std::move(inputs), result, description, nullptr);
  } else if (isDocumentAnswer(command)) {
    if (continuation(&request, messageId, command) != splitMessages_.end()) {
      result = u"success";  // the next part of the pending answer goes out
      return;
    }
    run(command == u"getDocument" ? getDocumentMessage : saveAndGetDocumentMessage, std::move(inputs), result,
        description, &document);
  } else if (command == u"closeDocument") {
    bool isRemoveFile = false;
    if (getIsRemoveFile(&request, isRemoveFile)) inputs.isRemoveFile = isRemoveFile;
    run(closeDocumentMessage, std::move(inputs), result, description, nullptr);
  } else if (command == u"removeDocument") {
    run(removeDocumentMessage, std::move(inputs), result, description, nullptr);
  } else if (command == u"createDocument") {
    run(createDocumentMessage, std::move(inputs), result, description, nullptr);
  }
}

void DocEditorJsonProcessing::run(CommandMessage message, CommandInputs inputs, std::u16string& result,
                                  std::u16string& description, std::string* document) {
  CommandOutputs outputs;
  handOff_(message, std::move(inputs), outputs);
  result = std::move(outputs.result);
  description = std::move(outputs.description);
  if (document) *document = std::move(outputs.document);
}

DocEditorJsonProcessing::Pending::iterator DocEditorJsonProcessing::continuation(
    const JsonValue* request, const std::u16string& messageId, const std::u16string& command) {
  auto pending = splitMessages_.find(messageId);
  if (pending == splitMessages_.end()) return pending;
  const PendingAnswer& entry = pending->second;
  bool same = entry.command == command;
  // A request without nameFile names no other file: it fails its own check
  // and still gets the next part.
  std::u16string nameFile;
  if (same && getNameFile(request, nameFile)) {
    std::u16string text;
    std::optional<std::u16string> workingDirectory;
    if (getWorkingDirectory(request, text)) workingDirectory = std::move(text);
    same = nameFile == entry.nameFile && workingDirectory == entry.workingDirectory;
  }
  if (same) return pending;
  dropPending(pending, "the request names another command, file or directory");
  return splitMessages_.end();
}

DocEditorJsonProcessing::Pending::iterator DocEditorJsonProcessing::addPending(
    const JsonValue* request, const std::u16string& messageId, const std::u16string& command,
    const JsonValue& base, std::string document) {
  PendingAnswer entry;
  if (document.empty()) {
    stringifyUtf8(base, entry.before);
  } else {
    stringifyAround(base, u"contentFile", entry.before, entry.after);
    entry.before += '"';
    entry.after.insert(0, 1, '"');
  }
  entry.document = std::move(document);
  // The oldest transfers make room; the new one is kept whatever its size, as
  // it is being delivered.
  while (!splitMessages_.empty() &&
         (splitMessages_.size() >= limits_.answers || pendingBytes_ + entry.held() > limits_.bytes)) {
    auto oldest =
        std::min_element(splitMessages_.begin(), splitMessages_.end(),
                         [](const auto& a, const auto& b) { return a.second.serial < b.second.serial; });
    dropPending(oldest, "too many or too large pending answers");
  }
  entry.command = command;
  std::u16string value;
  if (getWorkingDirectory(request, value)) entry.workingDirectory = value;
  getNameFile(request, entry.nameFile);
  entry.serial = ++serial_;
  pendingBytes_ += entry.held();
  return splitMessages_.insert_or_assign(messageId, std::move(entry)).first;
}

std::size_t DocEditorJsonProcessing::left(const PendingAnswer& entry, std::size_t atLeast) {
  const std::size_t known = entry.before.size() - entry.beforeSent + entry.after.size() - entry.afterSent;
  if (known + documentTextLeftAtLeast(entry.document, entry.documentSent) >= atLeast) return atLeast;
  return known + documentTextLeft(entry.document, entry.documentSent);
}

std::array<std::size_t, 3> DocEditorJsonProcessing::appendNext(const PendingAnswer& entry, std::size_t count,
                                                               std::string& out) {
  std::array<std::size_t, 3> taken{};
  taken[0] = std::min(count, entry.before.size() - entry.beforeSent);
  out.append(entry.before, entry.beforeSent, taken[0]);
  DocumentTextPosition at = entry.documentSent;
  taken[1] = appendDocumentText(entry.document, at, count - taken[0], false, std::string::npos, out);
  taken[2] = std::min(count - taken[0] - taken[1], entry.after.size() - entry.afterSent);
  out.append(entry.after, entry.afterSent, taken[2]);
  return taken;
}

void DocEditorJsonProcessing::dropPending(Pending::iterator entry, const char* why) {
  ORMID_LOG(debug, kCreateAnswer) << "Dropped split message for messageId = " << entry->first << ": " << why;
  erasePending(entry);
}

void DocEditorJsonProcessing::erasePending(Pending::iterator entry) {
  pendingBytes_ -= entry->second.held();
  splitMessages_.erase(entry);
}

std::size_t DocEditorJsonProcessing::partSizeBound(std::uint32_t length, std::size_t remaining) {
  // Half of what is left of a 1 MiB - 1 KiB message once the request has been
  // echoed: every byte of a part may be escaped into two.
  if (length >= 1'047'551u) return remaining;  // the halved bound is 0 or wraps around
  return static_cast<std::uint32_t>(0xFFC00u - length) >> 1;
}

void DocEditorJsonProcessing::createAnswer(const JsonValue* request, std::uint32_t length,
                                           const std::u16string& result, const std::u16string& description,
                                           std::string document, std::string& answer) {
  const std::size_t start = answer.size();
  std::u16string command;
  std::u16string messageId;
  const bool hasCommand = getCommand(request, command);
  getMessageId(request, messageId);
  const JsonValue base = answerBase(request, result, description);

  if (!hasCommand || !isDocumentAnswer(command)) {
    stringifyUtf8(base, answer);
    const std::size_t size = answer.size() - start;
    if (size > kMaxAnswerBytes) {
      answer.resize(start);
      answer += reducedAnswer(request, size);
    }
    return;
  }

  auto pending = continuation(request, messageId, command);
  if (pending == splitMessages_.end())
    pending = addPending(request, messageId, command, base, std::move(document));

  ORMID_LOG(debug, kCreateAnswer) << "Create split message for messageId = " << messageId;
  PendingAnswer& entry = pending->second;
  // The part is as long as the request's bound allows, cut back to a
  // character boundary and to what fits the browser's limit once escaped;
  // at least one whole character, or nothing can be delivered.
  // The answer is written around its part: `answer` up to the part's opening
  // quotation mark, then the part escaped in the same pass that finds how
  // much of it fits, then the rest.
  std::string after;
  stringifyAround(base, u"split", answer, after);
  const std::size_t overhead =
      answer.size() - start + kSplitMore.size() + 2 + kSplitClose.size() + after.size();
  const std::size_t room = overhead < kMaxAnswerBytes ? kMaxAnswerBytes - overhead : 0;
  const std::size_t most = std::min(partSizeBound(length, std::string::npos), room);
  // What is left matters only when it is less than a part (and the byte after it).
  const std::size_t left = DocEditorJsonProcessing::left(entry, most + 2);
  const std::size_t bound = std::min(most, left);
  const std::size_t open = answer.size();
  answer += kSplitMore;  // or kSplitLast, the same length but one byte: set below
  answer += '"';
  std::size_t end = 0;
  if (entry.beforeSent == entry.before.size() &&
      documentTextLeftAtLeast(entry.document, entry.documentSent) > bound) {
    // Within the document's text, and the byte after the part too: ASCII
    // throughout, no character to cut; made straight into the answer.
    end = appendDocumentText(entry.document, entry.documentSent, bound, true, room, answer);
  } else {
    // No part is longer than its escaped form, so no more than `room` bytes
    // (and the one after them, to see a boundary) are needed; a first
    // character takes at most four.
    window_.clear();
    const std::array<std::size_t, 3> made = appendNext(entry, std::max<std::size_t>(bound + 1, 4), window_);
    const std::string_view rest = window_;
    end = appendEscapedUtf8(answer, rest.substr(0, bound), room);
    // Cut back to a character boundary; bytes of a sequence are written as they are.
    const std::size_t fitted = end;
    while (end > 0 && end < left && isContinuation(rest[end])) --end;
    answer.resize(answer.size() - (fitted - end));
    if (end == 0) {
      std::size_t first = 1;
      while (first < rest.size() && isContinuation(rest[first])) ++first;
      if (escapedUtf8Size(rest.substr(0, first)) <= room) {
        end = first;
        appendEscapedUtf8(answer, rest.substr(0, first));
      }
    }
    // The part's bytes, from before, the document and after in turn.
    const std::size_t fromBefore = std::min(end, made[0]);
    const std::size_t fromDocument = std::min(end - fromBefore, made[1]);
    entry.beforeSent += fromBefore;
    std::string skipped;
    appendDocumentText(entry.document, entry.documentSent, fromDocument, false, std::string::npos, skipped);
    entry.afterSent += end - fromBefore - fromDocument;
  }
  if (end == 0) {
    answer.resize(start);
    answer += reducedAnswer(request, overhead + 2);
    dropPending(pending, "its echoed fields leave no room for a part");
    return;
  }
  const bool last = end == left;
  if (last) answer.replace(open, kSplitMore.size(), kSplitLast);
  answer += '"';
  answer += kSplitClose;
  answer += after;
  if (last) {
    ORMID_LOG(debug, kCreateAnswer) << "Ended split message for messageId = " << messageId;
    erasePending(pending);
  }
}

}  // namespace ormid
