// The state the two threads of the host share, in one place: the process
// lock, the command in flight between the reader thread and the main thread,
// the connection to the word processor and the message output. Each member
// says who guards it; the compiler checks the annotations.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/core/thread_annotations.h"
#include "ormid/com_api.h"
#include "ormid/com_ptr.h"
#include "ormid/platform/platform.h"

// Checks that hold in debug builds (and in the sanitizer build, which defines
// ORMID_DCHECKS); a failed one logs, prints and aborts.
#if defined(NDEBUG) && !defined(ORMID_DCHECKS)
#define ORMID_DCHECK_IS_ON 0
#else
#define ORMID_DCHECK_IS_ON 1
#endif
#define ORMID_DCHECK(condition)                                                                    \
  do {                                                                                             \
    if (ORMID_DCHECK_IS_ON && !(condition)) ::ormid::dcheckFailed(#condition, __FILE__, __LINE__); \
  } while (0)
// For functions that touch the word processor: only the thread that runs the
// command window's loop may call them.
#define ORMID_DCHECK_MAIN_THREAD() ORMID_DCHECK(::ormid::core().mainThread.calledOnValidThread())

namespace ormid {

[[noreturn]] void dcheckFailed(const char* condition, const char* file, int line);

// The process-wide lock: recursive on its own thread, because the word
// processor's events arrive on the main thread in the middle of an operation
// that already holds it.
class CAPABILITY("mutex") ProcessLock {
 public:
  void lock() ACQUIRE() {
    lock_.lock();
    if (depth_++ == 0) owner_.store(std::this_thread::get_id());
  }
  void unlock() RELEASE() {
    if (--depth_ == 0) owner_.store(std::thread::id{});
    lock_.unlock();
  }
  // For code reached through a callback from a holder: tells the analysis,
  // and checks in debug builds, that the calling thread holds the lock.
  void assertHeld() const ASSERT_CAPABILITY(this);

 private:
  platform::RecursiveLock lock_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // touched only by the holder
};

class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(ProcessLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~ScopedLock() RELEASE() { lock_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  ProcessLock& lock_;
};

// Tells whether the caller runs on the thread it is bound to. An unbound
// checker binds to the first thread that asks.
class ThreadChecker {
 public:
  bool calledOnValidThread();
  void bindToCurrentThread() { owner_.store(std::this_thread::get_id()); }

 private:
  std::atomic<std::thread::id> owner_{};
};

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
  std::string contentFile;  // base64 text of openDocument: may be many megabytes
  bool isRemoveFile = false;
};

// Outcome of a command as the answer needs it.
struct CommandOutputs {
  std::u16string result;
  std::u16string description;
  std::string document;  // the bytes of a document: many megabytes
};

// One command handed from the reader thread to the main thread: the reader
// fills the inputs, the operation the outputs.
struct Command {
  CommandMessage message = openEditorMessage;
  CommandInputs inputs;
  CommandOutputs outputs;
};

// The connection to the word processor; it counts as running exactly when
// wordApplication is set.
struct WordConnection {
  com::ComPtr<IDispatch> wordApplication;
  com::ComPtr<IDispatch> eventListener;
  com::AdviseToken advise;  // the listener on the application's events
  // Full paths (system code page) of the documents the host opened or created
  // there and has not seen closed: only these are the host's to close, and to
  // report closed when the word processor is gone.
  std::vector<std::string> documents;
};

using WriteBytes = std::function<bool(const void* data, std::size_t size)>;
// Where the word processor's events go as messages for the web page. Called on
// the main thread with the lock held.
using EventSink = std::function<void(std::string_view message)>;

class HostCore {
 public:
  ProcessLock lock;

  std::optional<Command> command GUARDED_BY(lock);
  WordConnection connection GUARDED_BY(lock);
  // The saved standard output; every frame is written under the lock so that
  // answers and events never interleave.
  WriteBytes messageOutput GUARDED_BY(lock);
  bool outputBroken GUARDED_BY(lock) = false;

  // Set by the start-up before the reader thread exists, only read afterwards.
  EventSink eventSink;
  platform::WindowHandle commandWindow = nullptr;
  std::unique_ptr<platform::ManualResetEvent> eventEndProcessing;
  ThreadChecker mainThread;
};

// The one core of the process. Never destroyed: threads may still log while
// the process ends.
HostCore& core();

// Reader side of the hand-off: posts the command to the main thread, waits for
// it and takes its outputs. The command leaves the core when it is done, so a
// document's content does not outlive its command. When the message cannot be
// posted, the answer is "error" at once.
void handOff(CommandMessage message, CommandInputs inputs, CommandOutputs& outputs) EXCLUDES(core().lock);

// Main side: runs `operation` on the posted command under the lock, stores
// "success" or "error" and wakes the reader. False (nothing run, nobody woken)
// when no command of that message is waiting.
using Operation = std::function<bool(Command& command)>;
bool serveCommand(std::uint32_t message, const Operation& operation);

// Undoes the advise and drops every pointer held on the word processor,
// without asking it to quit.
void clearWordResource() REQUIRES(core().lock);
// Lets go of the connection at exit, without undoing the advise.
void releaseWordConnection() REQUIRES(core().lock);

// The host's own documents in the word processor, matched as the file system
// matches names.
bool isHostDocument(std::u16string_view fullName) REQUIRES(core().lock);
void rememberHostDocument(const std::string& path) REQUIRES(core().lock);
void forgetHostDocument(std::u16string_view fullName) REQUIRES(core().lock);

}  // namespace ormid
