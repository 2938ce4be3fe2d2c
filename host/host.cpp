#include "host/host.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "host/channel/channel.h"
#include "host/channel/handoff.h"
#include "host/channel/log.h"
#include "host/module_host.h"
#include "host/word/automation.h"
#include "host/word/doc_editor_processing.h"
#include "ormid/com_api.h"

using ormid::platform::WindowHandle;

namespace {

constexpr const char* kClassName = "ormidDocEditor";

// Runs the operation of a command message; true on success.
bool runOperation(std::uint32_t message, ormid::CommandExchange& exchange) {
  using ormid::DocEditorProcessing;
  const ormid::CommandInputs& in = exchange.inputs;
  std::u16string& description = exchange.description;
  switch (message) {
    case ormid::openEditorMessage:
      return DocEditorProcessing::openEditor(description);
    case ormid::closeEditorMessage:
      return DocEditorProcessing::closeWordAplication(description);
    case ormid::saveDocumentMessage:
      return DocEditorProcessing::saveDocument(in.workingDirectory, in.nameFile, description);
    case ormid::saveAndGetDocumentMessage:
      return DocEditorProcessing::saveDocument(in.workingDirectory, in.nameFile, description) &&
             DocEditorProcessing::getDocument(in.workingDirectory, in.nameFile, exchange.documentContent,
                                              description);
    case ormid::getDocumentMessage:
      return DocEditorProcessing::getDocument(in.workingDirectory, in.nameFile, exchange.documentContent,
                                              description);
    case ormid::closeDocumentMessage:
      return DocEditorProcessing::closeDocument(in.workingDirectory, in.nameFile, in.isRemoveFile,
                                                description);
    case ormid::openDocumentMessage:
      return DocEditorProcessing::openDocument(in.workingDirectory, in.nameFile, in.contentFile, description);
    case ormid::removeDocumentMessage:
      return DocEditorProcessing::removeDocument(in.workingDirectory, in.nameFile, description);
    case ormid::createDocumentMessage:
      return DocEditorProcessing::createDocument(in.workingDirectory, in.nameFile, description);
    default:
      return false;
  }
}

}  // namespace

std::intptr_t WndProcDocEditor(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  ORMID_LOG(debug, "WndProcDocEditor") << "Call WndProcDocEditor: message = " << message
                                       << ", wParam = " << static_cast<unsigned long long>(wParam)
                                       << ", lParam = " << static_cast<long long>(lParam);
  if (message < ormid::openEditorMessage || message > ormid::createDocumentMessage) {
    return ormid::platform::defaultWindowProcedure(window, message, wParam, lParam);
  }
  {
    std::lock_guard lock(ormid::processLock());
    ORMID_LOG(debug, "WndProcDocEditor") << "Processed " << ormid::commandName(message) << " starting...";
    ormid::CommandExchange& exchange = ormid::commandExchange();
    bool ok = false;
    try {
      ok = runOperation(message, exchange);
    } catch (...) {
      // An operation that runs out of memory fails like any other.
      ok = false;
      if (exchange.description.empty()) exchange.description = u"Error alocate memory file";
    }
    exchange.result = ok ? u"success" : u"error";
  }
  ormid::handOffChannel().eventEndProcessing->set();
  return ormid::platform::defaultWindowProcedure(window, message, wParam, lParam);
}

bool createWindow() {
  if (!ormid::platform::registerWindowClass(kClassName, WndProcDocEditor)) {
    ORMID_LOG(error, "createWindow") << "Cannot register class.";
    return false;
  }
  WindowHandle window = ormid::platform::createHiddenWindow(kClassName);
  if (!window) {
    ORMID_LOG(error, "createWindow") << "Cannot create windows.";
    return false;
  }
  ormid::handOffChannel().commandWindow = window;
  return true;
}

namespace {

// Start-up steps after the log exists, then the main loop. Returns when the
// loop has ended or a step failed (logged); `readerThread` is left for the
// stop sequence.
void runHost(std::unique_ptr<ormid::platform::Thread>& readerThread) {
  namespace platform = ormid::platform;
  switch (platform::redirectStdoutToStderr()) {
    case platform::StdioResult::noStdout:
      ORMID_LOG(error, "main") << "Error get STD_OUTPUT_HANDLE...";
      return;
    case platform::StdioResult::noStderr:
      ORMID_LOG(error, "main") << "Error get STD_ERROR_HANDLE...";
      return;
    case platform::StdioResult::redirectFailed:
      ORMID_LOG(error, "main") << "Error set STD_OUTPUT_HANDLE to STD_ERROR_HANDLE...";
      return;
    case platform::StdioResult::ok:
      break;
  }
  if (!createWindow()) return;
  auto& channel = ormid::handOffChannel();
  channel.eventEndProcessing = platform::ManualResetEvent::create("eventEndProcessing");
  if (!channel.eventEndProcessing) {
    ORMID_LOG(error, "main") << "Error creating eventEndProcessing!";
    return;
  }
  readerThread = platform::Thread::start([] {
    const int result = ormid::DocEditorStdinStdout::loopClientStdinStdout();
    platform::postMessage(ormid::handOffChannel().commandWindow, ormid::endOfInputMessage, 0, 0);
    return static_cast<std::uint32_t>(result);
  });
  if (!readerThread) {
    ORMID_LOG(error, "main") << "Error creating loopClientStdinStdoutThread!";
    return;
  }

  platform::MessageLoop loop;
  for (int got = loop.getMessage(); got != 0; got = loop.getMessage()) {
    if (loop.message() == ormid::endOfInputMessage && readerThread->waitFor(500)) {
      std::lock_guard lock(ormid::processLock());
      ORMID_LOG(debug, "main") << "loopClientStdinStdoutThread thread terminate...";
      ORMID_LOG(debug, "main") << "Exit application...";
      return;
    }
    if (got == -1) {
      std::lock_guard lock(ormid::processLock());
      ORMID_LOG(error, "main") << "Error message loop...";
      continue;
    }
    loop.dispatch();
  }
}

}  // namespace

int hostMain() {
  namespace platform = ormid::platform;
  platform::guardStandardStreams();
  platform::setStdinBinary();
  platform::InstanceLockResult locked =
      platform::acquireInstanceLock("OrmidDocEditorLock", std::chrono::seconds(10));
  if (locked.outcome == platform::LockOutcome::busy) {
    std::fputs("The application is already running\n", stderr);
    return 1;
  }
  if (locked.outcome == platform::LockOutcome::failed) {
    std::fputs("Cannot create the instance lock\n", stderr);
    return 1;
  }
  std::unique_ptr<platform::InstanceLock> instance = std::move(locked.lock);
  CoInitialize(nullptr);
  ormid::processLock();
  startLog(6);
  ormid::installModuleHost();

  std::unique_ptr<platform::Thread> readerThread;
  runHost(readerThread);

  // Stop sequence.
  if (readerThread) {
    if (!readerThread->waitFor(0)) readerThread->terminate();
    readerThread.reset();
  }
  {
    std::lock_guard lock(ormid::processLock());
    ormid::releaseWordConnection();
  }
  CoUninitialize();
  instance.reset();
  return 1;
}
