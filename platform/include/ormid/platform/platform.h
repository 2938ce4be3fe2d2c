// The narrow seam between the host and the operating system. Everything the
// shared logic needs from the system goes through these declarations; the
// implementation is chosen by the build (posix/ or win32/). No system header is
// included here.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ormid::platform {

// ---- Files and directories (paths are text in the system code page) ----

// The separator that joins a directory and a file name ('/' or '\\').
char pathSeparator();

// The user's temporary directory, ending in the separator; empty when it cannot
// be had.
std::string tempPath();

// Creates the last level of the path; false when it could not be created
// (including when it already exists).
bool createDirectory(const std::string& path);

// Deletes a file; false on failure.
bool deleteFile(const std::string& path);

// True when the path names an existing regular file (not a directory, device
// or pipe); symbolic links are followed.
bool isRegularFile(const std::string& path);
// A buffer of many megabytes: where the system can, it is backed by large
// pages, and the pages of its first `present` bytes (about to be written)
// are made present at once, so that writing them costs no fault per page.
// Only a hint.
void adviseLargeBuffer(void* data, std::size_t size, std::size_t present);
// Whether the processor shuffles bytes within a vector register (SSSE3).
// Code that does is compiled for such processors alone and chosen by this.
inline bool hasByteShuffles() {
#if defined(__GNUC__) && defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
#else
  return false;
#endif
}
// Makes `text` able to hold `capacity` bytes. A buffer of several megabytes
// is advised (above) before what `text` holds is moved into it, with its
// first `present` bytes (at least what it holds) made present.
inline void reserveLarge(std::string& text, std::size_t capacity, std::size_t present) {
  if (capacity <= text.capacity()) return;
  std::string larger;
  larger.reserve(capacity);
  if (larger.capacity() >= (std::size_t{4} << 20)) {
    adviseLargeBuffer(larger.data(), larger.capacity(), std::max(present, text.size()));
  }
  larger.append(text);
  text.swap(larger);
}

// The long form of an existing path: Windows may hand out 8.3 short names
// (C:\Users\FIRSTN~1) where other programs report the long ones. The path
// unchanged when it does not exist or has no other form.
std::string longPathName(const std::string& path);

// Whether two full paths name the same file as the file system compares names:
// ignoring case on Windows, exactly elsewhere.
bool samePath(std::u16string_view a, std::u16string_view b);

// ---- Single instance ----

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;  // releases the lock
};

enum class LockOutcome { acquired, busy, failed };

struct InstanceLockResult {
  std::unique_ptr<InstanceLock> lock;  // set when acquired; releases on destruction
  LockOutcome outcome = LockOutcome::failed;
  std::chrono::milliseconds waited{0};  // how long it waited for another holder to let go
};

// Tries to become the only instance named `name`, waiting up to `wait` for
// another holder to let go (an instance that is still shutting down). `busy`
// when another holds it after that; `failed` when no lock could be made at
// all, in which case the caller must not run unguarded.
// POSIX: a flock on a file in tempPath(), or in the user's private directory
// when that cannot be had; another acquisition in the same process is
// another holder. Windows: a named mutex, owned by the calling thread, which
// must also be the one that destroys the lock; the same thread acquiring the
// name again gets it again.
InstanceLockResult acquireInstanceLock(const char* name, std::chrono::milliseconds wait);

// ---- Standard streams ----

// Called first at start-up. A process started with standard input, output or
// error closed would hand that number to the next file it opens (a lock file,
// a log) and write its answers there: each missing one is opened on the null
// device instead. A missing standard output is remembered, so that
// redirectStdoutToStderr reports noStdout. Nothing to do on Windows, where
// handles have no such numbers and a missing output is seen as such.
void guardStandardStreams();

// Puts the standard input into binary mode (no translation of any byte).
void setStdinBinary();

enum class StdioResult { ok, noStdout, noStderr, redirectFailed };

// Keeps the real standard output as the message output and points the
// process's standard output at standard error, so that only frames written
// through writeMessageOutput reach the peer.
StdioResult redirectStdoutToStderr();

// Writes bytes to the saved message output; returns false when the write fails.
bool writeMessageOutput(const void* data, std::size_t size);

// Reads up to `size` bytes from standard input; returns how many were read
// (fewer only at the end of input or on error).
std::size_t readStdin(void* data, std::size_t size);

// ---- Threads and synchronisation ----

// A lock that the owning thread may enter again.
class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  void lock();
  void unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class ManualResetEvent {
 public:
  virtual ~ManualResetEvent() = default;
  virtual void set() = 0;
  virtual void reset() = 0;
  // Waits without time-out; true when the event was signalled.
  virtual bool wait() = 0;
  // Null on failure.
  static std::unique_ptr<ManualResetEvent> create(const char* name);
};

class Thread {
 public:
  virtual ~Thread() = default;  // closes the handle; does not wait
  // True when the thread has ended within `milliseconds`.
  virtual bool waitFor(std::uint32_t milliseconds) = 0;
  // Stops a thread that is still running (the process is about to end).
  virtual void terminate() = 0;
  // Null when the thread could not be created.
  static std::unique_ptr<Thread> start(std::function<std::uint32_t()> body);
};

// ---- The hidden command window and the main thread's message queue ----

using WindowHandle = void*;
using WindowProcedure = std::intptr_t (*)(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                          std::intptr_t lParam);

bool registerWindowClass(const char* className, WindowProcedure procedure);
// A hidden top-level window of the class, owned by the calling thread; null on failure.
WindowHandle createHiddenWindow(const char* className);
bool postMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
std::intptr_t defaultWindowProcedure(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);

// The message loop of the thread that created the window.
class MessageLoop {
 public:
  MessageLoop();
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;
  // Waits for the next message: >0 a message, 0 the loop is asked to quit, -1 an error.
  int getMessage();
  std::uint32_t message() const;
  // Hands the current message to its window procedure (or runs a posted task).
  void dispatch();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs `task` on the main thread's message loop, after what is already queued.
// Callable from any thread; tasks run in the order they were posted.
void postTask(std::function<void()> task);

// ---- Environment ----

// The value of an environment variable, or empty when it is unset.
std::string environment(const char* name);

}  // namespace ormid::platform
