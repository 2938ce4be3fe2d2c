#include "host/channel/handoff.h"

#include <mutex>
#include <utility>

#include "host/channel/log.h"

namespace ormid {

const char* commandName(std::uint32_t message) {
  switch (message) {
    case openEditorMessage:
      return "openEditor";
    case closeEditorMessage:
      return "closeEditor";
    case saveDocumentMessage:
      return "saveDocument";
    case saveAndGetDocumentMessage:
      return "saveAndGetDocument";
    case getDocumentMessage:
      return "getDocument";
    case closeDocumentMessage:
      return "closeDocument";
    case openDocumentMessage:
      return "openDocument";
    case removeDocumentMessage:
      return "removeDocument";
    case createDocumentMessage:
      return "createDocument";
    default:
      return "";
  }
}

CommandExchange& commandExchange() {
  static auto* exchange = new CommandExchange;
  return *exchange;
}

HandOffChannel& handOffChannel() {
  static auto* channel = new HandOffChannel;
  return *channel;
}

void handOff(CommandMessage message, CommandInputs inputs, CommandOutputs& outputs) {
  HandOffChannel& channel = handOffChannel();
  {
    std::lock_guard lock(processLock());
    CommandExchange& exchange = commandExchange();
    // Only the inputs the command uses are overwritten.
    switch (message) {
      case openDocumentMessage:
        exchange.inputs.contentFile = std::move(inputs.contentFile);
        [[fallthrough]];
      case saveDocumentMessage:
      case saveAndGetDocumentMessage:
      case getDocumentMessage:
      case removeDocumentMessage:
      case createDocumentMessage:
        exchange.inputs.workingDirectory = std::move(inputs.workingDirectory);
        exchange.inputs.nameFile = std::move(inputs.nameFile);
        break;
      case closeDocumentMessage:
        exchange.inputs.workingDirectory = std::move(inputs.workingDirectory);
        exchange.inputs.nameFile = std::move(inputs.nameFile);
        exchange.inputs.isRemoveFile = inputs.isRemoveFile;
        break;
      default:
        break;
    }
    exchange.result.clear();
    exchange.description.clear();
    exchange.documentContent.clear();
  }

  channel.eventEndProcessing->reset();
  platform::postMessage(channel.commandWindow, message, 0, 0);
  const bool signalled = channel.eventEndProcessing->wait();

  std::lock_guard lock(processLock());
  const std::string name = commandName(message);
  if (signalled) {
    ORMID_LOG(debug, "ormid::DocEditorJsonProcessing::processingMessage")
        << "Processed " << name << " waiting ok...";
    CommandExchange& exchange = commandExchange();
    outputs.result = std::move(exchange.result);
    outputs.description = std::move(exchange.description);
    if (message == getDocumentMessage || message == saveAndGetDocumentMessage) {
      outputs.content = std::move(exchange.documentContent);
    }
    exchange.result.clear();
    exchange.description.clear();
    exchange.documentContent.clear();
  } else {
    ORMID_LOG(error, "ormid::DocEditorJsonProcessing::processingMessage")
        << "Processed " << name << " waiting error...";
  }
}

}  // namespace ormid
