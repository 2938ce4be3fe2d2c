#include "host/core/core.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "host/core/log.h"
#include "host/text/text.h"

namespace ormid {
namespace {
constexpr const char* kProcessing = "ormid::DocEditorJsonProcessing::processingMessage";
}  // namespace

void dcheckFailed(const char* condition, const char* file, int line) {
  ORMID_LOG(fatal, "ormid::dcheckFailed") << "Check failed: " << condition << " at " << file << ":" << line;
  std::fprintf(stderr, "Check failed: %s at %s:%d\n", condition, file, line);
  std::abort();
}

void ProcessLock::assertHeld() const { ORMID_DCHECK(owner_.load() == std::this_thread::get_id()); }

bool ThreadChecker::calledOnValidThread() {
  std::thread::id unbound{};
  const std::thread::id self = std::this_thread::get_id();
  return owner_.compare_exchange_strong(unbound, self) || unbound == self;
}

HostCore& core() {
  static auto* instance = new HostCore;
  return *instance;
}

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

void handOff(CommandMessage message, CommandInputs inputs, CommandOutputs& outputs) {
  HostCore& c = core();
  {
    ScopedLock lock(c.lock);
    c.command = Command{message, std::move(inputs), {}};
  }
  c.eventEndProcessing->reset();
  const bool posted = platform::postMessage(c.commandWindow, message, 0, 0);
  const bool signalled = posted && c.eventEndProcessing->wait();

  ScopedLock lock(c.lock);
  std::optional<Command> done = std::exchange(c.command, std::nullopt);
  if (signalled && done) {
    ORMID_LOG(debug, kProcessing) << "Processed " << commandName(message) << " waiting ok...";
    outputs.result = std::move(done->outputs.result);
    outputs.description = std::move(done->outputs.description);
    if (message == getDocumentMessage || message == saveAndGetDocumentMessage) {
      outputs.document = std::move(done->outputs.document);
    }
    return;
  }
  ORMID_LOG(error, kProcessing) << "Processed " << commandName(message) << " waiting error...";
  if (!posted) {
    // Nobody will run the command: waiting would never end.
    ORMID_LOG(error, kProcessing) << "Post command message error...";
    outputs.result = u"error";
  }
}

bool serveCommand(std::uint32_t message, const Operation& operation) {
  ORMID_DCHECK_MAIN_THREAD();
  HostCore& c = core();
  {
    ScopedLock lock(c.lock);
    if (!c.command || c.command->message != message) {
      ORMID_LOG(error, "WndProcDocEditor") << "No command waits for message " << message;
      return false;
    }
    Command& command = *c.command;
    ORMID_LOG(debug, "WndProcDocEditor") << "Processed " << commandName(message) << " starting...";
    bool ok = false;
    try {
      ok = operation(command);
    } catch (...) {
      // An operation that runs out of memory fails like any other.
      ok = false;
      if (command.outputs.description.empty()) command.outputs.description = u"Error alocate memory file";
    }
    command.outputs.result = ok ? u"success" : u"error";
    command.inputs = {};  // the content of openDocument is not needed any more
  }
  c.eventEndProcessing->set();
  return true;
}

void clearWordResource() {
  ORMID_DCHECK_MAIN_THREAD();
  WordConnection& c = core().connection;
  if (!c.advise) ORMID_LOG(debug, "ormid::clearWordResource") << "Connection point not found...";
  // Each is moved out before its release: releasing may call back into the host.
  { com::AdviseToken advise = std::move(c.advise); }
  { com::ComPtr<IDispatch> listener = std::move(c.eventListener); }
  { com::ComPtr<IDispatch> application = std::move(c.wordApplication); }
  c.documents.clear();
}

void releaseWordConnection() {
  WordConnection& c = core().connection;
  c.advise.abandon();
  { com::ComPtr<IDispatch> listener = std::move(c.eventListener); }
  { com::ComPtr<IDispatch> application = std::move(c.wordApplication); }
}

bool isHostDocument(std::u16string_view fullName) {
  const std::vector<std::string>& documents = core().connection.documents;
  return std::any_of(documents.begin(), documents.end(),
                     [&](const std::string& path) { return platform::samePath(fromAnsi(path), fullName); });
}

void rememberHostDocument(const std::string& path) {
  if (!isHostDocument(fromAnsi(path))) core().connection.documents.push_back(path);
}

void forgetHostDocument(std::u16string_view fullName) {
  std::erase_if(core().connection.documents,
                [&](const std::string& path) { return platform::samePath(fromAnsi(path), fullName); });
}

}  // namespace ormid
