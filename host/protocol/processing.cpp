#include "host/protocol/processing.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "host/channel/log.h"
#include "host/protocol/request.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid {
namespace {

constexpr const char* kProcessing = "ormid::DocEditorJsonProcessing::processingMessage";
constexpr const char* kCreateAnswer = "ormid::DocEditorJsonProcessing::createAnswer";

bool isDocumentAnswer(const std::u16string& command) {
  return command == u"getDocument" || command == u"saveAndGetDocument";
}

void fail(std::u16string& result, std::u16string& description, const char16_t* text) {
  result = u"error";
  description = text;
  ORMID_LOG(error, kProcessing) << description;
}

std::unique_ptr<JsonValue> str(std::u16string text) { return std::make_unique<JsonValue>(std::move(text)); }

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// End of the next part: at most `maxBytes` after `offset`, moved back to a
// character boundary, but never less than one whole character.
std::size_t cutAtBoundary(const std::string& text, std::size_t offset, std::size_t maxBytes) {
  const std::size_t size = text.size();
  std::size_t end = offset + std::min(maxBytes, size - offset);
  while (end > offset && end < size && isContinuation(static_cast<unsigned char>(text[end]))) --end;
  if (end == offset) {
    end = offset + 1;
    while (end < size && isContinuation(static_cast<unsigned char>(text[end]))) ++end;
  }
  return end;
}

// The complete answer with its "contentFile" member added. The member sorts
// right after "command", which every document answer has, so it is spliced in
// there: the document's base64 text is escaped straight into the answer
// instead of being widened and serialized again (many megabytes).
std::string withContentFile(const std::string& text, const std::u16string& command,
                            const std::string& content) {
  JsonObject head;
  head[u"command"] = str(command);
  std::string prefix = stringifyUtf8(JsonValue(std::move(head)));
  prefix.pop_back();  // the closing brace
  static constexpr std::string_view member = R"(,"contentFile":")";

  // Sized once, then written through a pointer: this runs over the whole document.
  auto escapeLength = [](unsigned char c) -> std::size_t {
    if (c == '"' || c == '\\' || c == '/' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t')
      return 2;
    return c < 0x20 ? 6 : 1;
  };
  std::size_t escaped = 0;
  for (const char c : content) escaped += escapeLength(static_cast<unsigned char>(c));
  std::string out(text.size() + member.size() + escaped + 1, '\0');
  char* w = out.data();
  w = std::copy_n(text.data(), prefix.size(), w);
  w = std::copy(member.begin(), member.end(), w);
  static constexpr char hex[] = "0123456789abcdef";
  for (const char c : content) {
    const auto byte = static_cast<unsigned char>(c);
    switch (escapeLength(byte)) {
      case 1:
        *w++ = c;
        break;
      case 2:
        *w++ = '\\';
        *w++ = c == '\b' ? 'b' : c == '\f' ? 'f' : c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : c;
        break;
      default:
        w = std::copy_n("\\u00", 4, w);
        *w++ = hex[byte >> 4];
        *w++ = hex[byte & 0xF];
    }
  }
  *w++ = '"';
  std::copy(text.begin() + static_cast<std::ptrdiff_t>(prefix.size()), text.end(), w);
  return out;
}

}  // namespace

std::string defaultWorkingDirectory() {
  const char separator = platform::pathSeparator();
  std::string directory = platform::tempPath();
  if (!directory.empty() && directory.back() != separator) directory += separator;
  directory += "ormid_doc_editor";
  directory += separator;
  platform::createDirectory(directory);
  return directory;
}

DocEditorJsonProcessing::DocEditorJsonProcessing(HandOff handOff) : handOff_(std::move(handOff)) {}

void DocEditorJsonProcessing::processingMessage(const std::u16string& message, std::uint32_t length,
                                                std::string& answer) {
  std::u16string result;
  std::u16string description;
  std::string content;
  std::unique_ptr<JsonValue> request = parseJson(message);
  if (!request) {
    fail(result, description, u"JSON failed to parse");
  } else if (!request->isObject()) {
    fail(result, description, u"The root element is not an object");
    request.reset();  // nothing of a non-object is echoed
  } else {
    dispatch(*request, result, description, content);
  }
  createAnswer(request.get(), length, result, description, std::move(content), answer);
}

void DocEditorJsonProcessing::dispatch(const JsonValue& request, std::u16string& result,
                                       std::u16string& description, std::string& content) {
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
    documentCommand(request, command, messageId, result, description, content);
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

void DocEditorJsonProcessing::documentCommand(const JsonValue& request, const std::u16string& command,
                                              const std::u16string& messageId, std::u16string& result,
                                              std::u16string& description, std::string& content) {
  CommandInputs inputs;
  std::u16string text;
  if (getWorkingDirectory(&request, text)) {
    inputs.workingDirectory = toAnsi(text);
    const char separator = platform::pathSeparator();
    if (!inputs.workingDirectory.empty() && inputs.workingDirectory.back() != separator) {
      inputs.workingDirectory += separator;
    }
    platform::createDirectory(inputs.workingDirectory);
  } else {
    inputs.workingDirectory = defaultWorkingDirectory();
  }

  if (!getNameFile(&request, text)) return fail(result, description, u"Error parsing name file");
  inputs.nameFile = toAnsi(text);

  if (command == u"openDocument") {
    // Read in place: the content may be many megabytes.
    const JsonObject& members = request.asObject();
    auto found = members.find(u"contentFile");
    if (found == members.end() || !found->second->isString()) {
      return fail(result, description, u"Error parsing content file");
    }
    inputs.contentFile = toAnsi(found->second->asString());
    run(openDocumentMessage, std::move(inputs), result, description, nullptr);
  } else if (command == u"saveDocument") {
    run(saveDocumentMessage, std::move(inputs), result, description, nullptr);
  } else if (isDocumentAnswer(command)) {
    if (splitMessages_.count(messageId) != 0) {
      result = u"success";  // the next part of the pending answer goes out
      return;
    }
    run(command == u"getDocument" ? getDocumentMessage : saveAndGetDocumentMessage, std::move(inputs), result,
        description, &content);
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
                                  std::u16string& description, std::string* content) {
  CommandOutputs outputs;
  handOff_(message, std::move(inputs), outputs);
  result = std::move(outputs.result);
  description = std::move(outputs.description);
  if (content) *content = std::move(outputs.content);
}

std::size_t DocEditorJsonProcessing::partSizeBound(std::uint32_t length, std::size_t remaining) {
  // Half of what is left of a 1 MiB - 1 KiB message once the request has been
  // echoed: every byte of a part may be escaped into two.
  if (length >= 1'047'551u) return remaining;  // the halved bound is 0 or wraps around
  return static_cast<std::uint32_t>(0xFFC00u - length) >> 1;
}

void DocEditorJsonProcessing::createAnswer(const JsonValue* request, std::uint32_t length,
                                           const std::u16string& result, const std::u16string& description,
                                           std::string content, std::string& answer) {
  std::u16string command;
  std::u16string messageId;
  const bool hasCommand = getCommand(request, command);
  getMessageId(request, messageId);

  // The echoed request fields and the status, common to every form of the answer.
  auto makeBase = [&] {
    JsonObject base;
    std::u16string text;
    bool flag = false;
    if (getMessageId(request, text)) base[u"messageId"] = str(text);
    if (getContentId(request, text)) base[u"contentId"] = str(text);
    if (getDestination(request, text) && text == u"ormidDocEditorNative") {
      base[u"destination"] = str(u"ormidDocEditorWebExt");
    }
    if (hasCommand) base[u"command"] = str(command);
    if (getWorkingDirectory(request, text)) base[u"workingDirectory"] = str(text);
    if (getNameFile(request, text)) base[u"nameFile"] = str(text);
    if (getIsRemoveFile(request, flag)) base[u"isRemoveFile"] = std::make_unique<JsonValue>(flag);
    JsonObject status;
    if (!result.empty()) status[u"result"] = str(result);
    if (!description.empty()) status[u"description"] = str(description);
    if (!status.empty()) base[u"status"] = std::make_unique<JsonValue>(std::move(status));
    return base;
  };

  if (!hasCommand || !isDocumentAnswer(command)) {
    answer = stringifyUtf8(JsonValue(makeBase()));
    return;
  }

  auto pending = splitMessages_.find(messageId);
  if (pending == splitMessages_.end()) {
    std::string text = stringifyUtf8(JsonValue(makeBase()));
    if (!content.empty()) text = withContentFile(text, command, content);
    pending = splitMessages_.emplace(messageId, PendingAnswer{std::move(text), 0}).first;
  }

  ORMID_LOG(debug, kCreateAnswer) << "Create split message for messageId = " << messageId;
  PendingAnswer& entry = pending->second;
  const std::size_t remaining = entry.text.size() - entry.offset;
  std::size_t end = cutAtBoundary(entry.text, entry.offset, partSizeBound(length, remaining));
  for (;;) {
    std::u16string part;
    // The complete answer is valid UTF-8 and the cut lies on a boundary.
    utf8ToWide(std::string_view(entry.text).substr(entry.offset, end - entry.offset), part);
    JsonObject split;
    split[u"part"] = str(std::move(part));
    split[u"last"] = std::make_unique<JsonValue>(end == entry.text.size());
    JsonObject message = makeBase();
    message[u"split"] = std::make_unique<JsonValue>(std::move(split));
    answer = stringifyUtf8(JsonValue(std::move(message)));
    if (answer.size() <= kMaxAnswerBytes) break;
    // Too big for the browser: every byte removed from the part removes at
    // least one byte of the answer.
    const std::size_t partBytes = end - entry.offset;
    const std::size_t excess = answer.size() - kMaxAnswerBytes;
    if (partBytes <= 1) break;  // the echoed fields alone are too big; nothing smaller can be sent
    const std::size_t shorter =
        cutAtBoundary(entry.text, entry.offset, excess < partBytes ? partBytes - excess : 1);
    if (shorter >= end) break;
    end = shorter;
  }
  entry.offset = end;
  if (entry.offset == entry.text.size()) {
    ORMID_LOG(debug, kCreateAnswer) << "Ended split message for messageId = " << messageId;
    splitMessages_.erase(pending);
  }
}

}  // namespace ormid
