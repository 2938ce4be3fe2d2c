#include "host/host.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "host/automation/busy.h"
#include "host/channel/channel.h"
#include "host/core/core.h"
#include "host/core/log.h"
#include "host/module_host.h"
#include "host/policy/policy.h"
#include "host/text/text.h"
#include "host/word/doc_editor_processing.h"
#include "ormid/com_api.h"
#include "ormid/com_ptr.h"

using ormid::platform::WindowHandle;

namespace {

constexpr const char* kClassName = "ormidDocEditor";

// A document the policy finds too large is not read at all. Asked here, just
// before the read: "saveAndGetDocument" may have made it larger.
bool fitsPolicy(const ormid::CommandInputs& in, std::u16string& description) {
  using ormid::policy::Verdict;
  const Verdict verdict =
      ormid::policy::checkFile(ormid::policy::activePolicy(), in.workingDirectory + in.nameFile);
  if (verdict == Verdict::allowed) return true;
  description = ormid::policy::describe(verdict);
  ORMID_LOG(error, "runOperation") << description << ": "
                                   << ormid::fromAnsi(in.workingDirectory + in.nameFile);
  return false;
}

// Says where the policy came from, or why it cannot be used.
void logPolicy(const ormid::policy::Policy& policy) {
  using State = ormid::policy::Policy::State;
  const std::string file = ormid::platform::environment(ormid::policy::kPolicyFileVariable);
  if (policy.state == State::none) {
    ORMID_LOG(info, "main") << "No policy: requests are not restricted";
    return;
  }
  if (policy.state == State::broken) {
    ORMID_LOG(error, "main") << "Policy " << ormid::fromAnsi(policy.source) << " cannot be used ("
                             << policy.problem << "): document commands are refused";
  } else {
    ORMID_LOG(info, "main") << "Policy " << ormid::fromAnsi(policy.source) << " in force";
  }
  if (!file.empty() && file != policy.source) {
    ORMID_LOG(warning, "main") << ormid::policy::kPolicyFileVariable
                               << " ignored: the system's policy applies";
  }
}

// Runs the operation of a command; true on success.
bool runOperation(ormid::Command& command) REQUIRES(ormid::core().lock) {
  using ormid::DocEditorProcessing;
  const ormid::CommandInputs& in = command.inputs;
  std::u16string& description = command.outputs.description;
  switch (command.message) {
    case ormid::openEditorMessage:
      return DocEditorProcessing::openEditor(description);
    case ormid::closeEditorMessage:
      return DocEditorProcessing::closeWordAplication(description);
    case ormid::saveDocumentMessage:
      return DocEditorProcessing::saveDocument(in.workingDirectory, in.nameFile, description);
    case ormid::saveAndGetDocumentMessage:
      return DocEditorProcessing::saveDocument(in.workingDirectory, in.nameFile, description) &&
             fitsPolicy(in, description) &&
             DocEditorProcessing::getDocument(in.workingDirectory, in.nameFile, command.outputs.document,
                                              description);
    case ormid::getDocumentMessage:
      return fitsPolicy(in, description) &&
             DocEditorProcessing::getDocument(in.workingDirectory, in.nameFile, command.outputs.document,
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
  ORMID_DCHECK_MAIN_THREAD();
  ORMID_LOG(debug, "WndProcDocEditor") << "Call WndProcDocEditor: message = " << message
                                       << ", wParam = " << static_cast<unsigned long long>(wParam)
                                       << ", lParam = " << static_cast<long long>(lParam);
  if (message >= ormid::openEditorMessage && message <= ormid::createDocumentMessage) {
    ormid::serveCommand(message, [](ormid::Command& command) {
      ormid::core().lock.assertHeld();  // serveCommand runs the operation under the lock
      return runOperation(command);
    });
  }
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
  ormid::core().commandWindow = window;
  return true;
}

namespace {

// The reader thread: whatever way its loop ends, the main loop is told, or it
// would wait for ever holding the instance lock.
std::uint32_t readerThreadBody() {
  int result = 1;
  try {
    result = ormid::DocEditorStdinStdout::loopClientStdinStdout();
  } catch (...) {
    ORMID_LOG(error, "loopClientStdinStdoutThread") << "The reader loop ended by an exception...";
  }
  if (!ormid::platform::postMessage(ormid::core().commandWindow, ormid::endOfInputMessage, 0, 0)) {
    ORMID_LOG(error, "loopClientStdinStdoutThread") << "Post end of input error...";
  }
  return static_cast<std::uint32_t>(result);
}

// Start-up steps after the log exists, then the main loop. Returns when the
// loop has ended or a step failed (logged); `readerThread` is left for the
// stop sequence.
void runHost(std::unique_ptr<ormid::platform::Thread>& readerThread) {
  namespace platform = ormid::platform;
  ormid::HostCore& core = ormid::core();
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
  {
    ormid::ScopedLock lock(core.lock);
    core.messageOutput = platform::writeMessageOutput;
  }
  core.eventSink = [](std::string_view message) {
    ormid::ScopedLock lock(ormid::core().lock);
    ormid::writeMessage(message);
  };
  if (!createWindow()) return;
  core.eventEndProcessing = platform::ManualResetEvent::create("eventEndProcessing");
  if (!core.eventEndProcessing) {
    ORMID_LOG(error, "main") << "Error creating eventEndProcessing!";
    return;
  }
  readerThread = platform::Thread::start(readerThreadBody);
  if (!readerThread) {
    ORMID_LOG(error, "main") << "Error creating loopClientStdinStdoutThread!";
    return;
  }

  platform::MessageLoop loop;
  for (int got = loop.getMessage(); got != 0; got = loop.getMessage()) {
    if (loop.message() == ormid::endOfInputMessage && readerThread->waitFor(500)) {
      ORMID_LOG(debug, "main") << "loopClientStdinStdoutThread thread terminate...";
      ORMID_LOG(debug, "main") << "Exit application...";
      return;
    }
    if (got == -1) {
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
  const std::unique_ptr<platform::InstanceLock> instance = std::move(locked.lock);
  {
    const ormid::com::Apartment apartment;
    const ormid::BusyCallFilter busyCalls;  // a busy word processor's calls are retried
    ormid::core().mainThread.bindToCurrentThread();
    // Read before the log starts, which it configures, and before the reader
    // thread exists, which only reads it.
    ormid::policy::Policy policy = ormid::policy::loadPolicy();
    startLog(policy.logLevel.value_or(6));
    logPolicy(policy);
    ormid::policy::setActivePolicy(std::move(policy));
    if (locked.waited.count() > 0) {
      ORMID_LOG(debug, "main") << "Waited " << static_cast<long long>(locked.waited.count())
                               << " ms for the running instance to end...";
    }
    ormid::installModuleHost();

    std::unique_ptr<platform::Thread> readerThread;
    runHost(readerThread);

    // Stop sequence.
    if (readerThread) {
      if (!readerThread->waitFor(0)) readerThread->terminate();
      readerThread.reset();
    }
    ormid::ScopedLock lock(ormid::core().lock);
    ormid::releaseWordConnection();
  }
  return 1;
}
