// The bridge between the reader thread, which reads and answers requests, and
// the main thread, which runs every operation: the reader stores a command's
// inputs in the command exchange, posts the command's message to the command
// window and waits for eventEndProcessing; the window procedure runs the
// operation under processLock, stores the outcome and signals the event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ormid/platform/platform.h"

namespace ormid {

// Private messages of the command window (WM_USER + n).
enum CommandMessage : std::uint32_t {
  openEditorMessage = 1025,
  closeEditorMessage = 1026,
  saveDocumentMessage = 1027,
  saveAndGetDocumentMessage = 1028,
  getDocumentMessage = 1029,
  closeDocumentMessage = 1030,
  openDocumentMessage = 1031,
  removeDocumentMessage = 1032,
  createDocumentMessage = 1033,
  endOfInputMessage = 1034,
};

// The request command a message carries ("openEditor" for 1025, ...); empty for others.
const char* commandName(std::uint32_t message);

// Inputs of a command; text in the system code page.
struct CommandInputs {
  std::string workingDirectory;
  std::string nameFile;
  std::string contentFile;
  bool isRemoveFile = false;
};

// Outcome of a command as the answer needs it.
struct CommandOutputs {
  std::u16string result;
  std::u16string description;
  std::string content;  // base64 text of a document
};

// The slots shared by the two threads; read and written only under processLock.
struct CommandExchange {
  CommandInputs inputs;
  std::u16string result;
  std::u16string description;
  std::string documentContent;  // base64 text (ASCII): many megabytes, kept narrow
};
CommandExchange& commandExchange();

// Process-wide objects of the hand-off, created by the start-up.
struct HandOffChannel {
  platform::WindowHandle commandWindow = nullptr;
  std::unique_ptr<platform::ManualResetEvent> eventEndProcessing;
};
HandOffChannel& handOffChannel();

// Reader side: stores the inputs the command uses, posts the message, waits,
// and copies the outputs. The output slots are emptied before every hand-off,
// so an answer never carries what an earlier command left in them.
void handOff(CommandMessage message, CommandInputs inputs, CommandOutputs& outputs);

}  // namespace ormid
