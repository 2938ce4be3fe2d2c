// Windows implementation of the operating-system seam.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h must come first.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "ormid/platform/platform.h"
#include "ormid/platform/unique_handle.h"

namespace ormid::platform {

char pathSeparator() { return '\\'; }

std::string environment(const char* name) {
  std::string value(64, '\0');
  for (;;) {
    const DWORD n = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};  // unset, or set to the empty string
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n is the size needed, terminator included
  }
}

std::string tempPath() {
  constexpr DWORD kSize = MAX_PATH;
  char buffer[kSize];
  const DWORD n = GetTempPathA(kSize, buffer);
  // Anything else is a failure (0) or a path too long for the buffer.
  if (n < 1 || n > kSize) return {};
  return std::string(buffer, n);
}

bool createDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

// Large pages need a privilege ordinary users lack: nothing to advise.
void adviseLargeBuffer(void*, std::size_t, std::size_t) {}

bool isRegularFile(const std::string& path) {
  // Opened without access rights: enough to ask what it is, also for devices
  // such as "NUL" or "CON", which have no attributes of their own.
  const UniqueHandle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(file.get()) == FILE_TYPE_DISK && GetFileInformationByHandle(file.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string longPathName(const std::string& path) {
  const DWORD size = GetLongPathNameA(path.c_str(), nullptr, 0);
  if (size == 0) return path;
  std::string longName(size, '\0');
  const DWORD n = GetLongPathNameA(path.c_str(), longName.data(), size);
  // A long name the code page cannot spell comes back with '?': not a path.
  if (n == 0 || n >= size || longName.find('?', 0) < n) return path;
  longName.resize(n);
  return longName;
}

bool samePath(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CompareStringOrdinal(reinterpret_cast<LPCWCH>(a.data()), static_cast<int>(a.size()),
                              reinterpret_cast<LPCWCH>(b.data()), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

// ---- Single instance: a named mutex kept open for the life of the process ----

namespace {
class MutexInstanceLock final : public InstanceLock {
 public:
  explicit MutexInstanceLock(UniqueHandle mutex) : mutex_(std::move(mutex)) {}
  ~MutexInstanceLock() override { ReleaseMutex(mutex_.get()); }

 private:
  UniqueHandle mutex_;
};

// A wait in milliseconds that WaitForSingleObject takes as such (never INFINITE).
DWORD waitMilliseconds(std::chrono::milliseconds wait) {
  const auto count = std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, INFINITE - 1);
  return static_cast<DWORD>(count);
}
}  // namespace

InstanceLockResult acquireInstanceLock(const char* name, std::chrono::milliseconds wait) {
  using namespace std::chrono;
  InstanceLockResult result;
  UniqueHandle mutex(CreateMutexA(nullptr, FALSE, name));
  if (!mutex) {
    // A mutex of that name that cannot be opened is another user's instance.
    if (GetLastError() == ERROR_ACCESS_DENIED) result.outcome = LockOutcome::busy;
    return result;
  }
  const steady_clock::time_point start = steady_clock::now();
  switch (WaitForSingleObject(mutex.get(), waitMilliseconds(wait))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder ended without letting go: no one holds it now
      result.outcome = LockOutcome::acquired;
      result.lock = std::make_unique<MutexInstanceLock>(std::move(mutex));
      break;
    case WAIT_TIMEOUT:
      result.outcome = LockOutcome::busy;
      break;
    default:
      break;
  }
  result.waited = duration_cast<milliseconds>(steady_clock::now() - start);
  return result;
}

// ---- Standard streams ----

namespace {
HANDLE messageOutput = INVALID_HANDLE_VALUE;
}

// Handles are not numbered slots that a later open could take, and a missing
// standard output is a null handle that redirectStdoutToStderr reports.
void guardStandardStreams() {}

void setStdinBinary() { _setmode(_fileno(stdin), _O_BINARY); }

StdioResult redirectStdoutToStderr() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  // A process started without a standard output has a null handle: there is
  // no peer to answer.
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return StdioResult::noStdout;
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == INVALID_HANDLE_VALUE) return StdioResult::noStderr;

  // The C runtime's descriptor 1 was bound to the real output when the process
  // started; printf or std::cout would still reach the peer through it and
  // break the framing. It is pointed at standard error as well, which closes
  // its handle, so the message output keeps a duplicate of its own.
  UniqueHandle duplicate;
  const HANDLE self = GetCurrentProcess();
  DuplicateHandle(self, out, self, duplicate.put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
  const int outFd = _fileno(stdout);
  const int errFd = _fileno(stderr);
  if (duplicate && outFd >= 0 && errFd >= 0 &&
      _get_osfhandle(outFd) == reinterpret_cast<std::intptr_t>(out)) {
    std::fflush(stdout);
    _dup2(errFd, outFd);
  }
  if (!SetStdHandle(STD_OUTPUT_HANDLE, err)) return StdioResult::redirectFailed;
  // Kept for the life of the process.
  messageOutput = duplicate ? duplicate.release() : out;
  return StdioResult::ok;
}

bool writeMessageOutput(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(messageOutput, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

std::size_t readStdin(void* data, std::size_t size) { return std::fread(data, 1, size, stdin); }

// ---- Locks, events, threads ----

struct RecursiveLock::Impl {
  CRITICAL_SECTION section;
};
RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {
  InitializeCriticalSection(&impl_->section);
}
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(&impl_->section); }
void RecursiveLock::lock() { EnterCriticalSection(&impl_->section); }
void RecursiveLock::unlock() { LeaveCriticalSection(&impl_->section); }

namespace {
class Win32Event final : public ManualResetEvent {
 public:
  explicit Win32Event(UniqueHandle event) : event_(std::move(event)) {}
  void set() override { SetEvent(event_.get()); }
  void reset() override { ResetEvent(event_.get()); }
  bool wait() override { return WaitForSingleObject(event_.get(), INFINITE) == WAIT_OBJECT_0; }

 private:
  UniqueHandle event_;
};

using ThreadBody = std::function<std::uint32_t()>;

DWORD WINAPI runThreadBody(void* parameter) {
  std::unique_ptr<ThreadBody> body(static_cast<ThreadBody*>(parameter));
  try {
    return (*body)();
  } catch (...) {
    return static_cast<DWORD>(-1);  // an exception must not leave the thread
  }
}

class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(UniqueHandle thread) : thread_(std::move(thread)) {}
  bool waitFor(std::uint32_t milliseconds) override {
    return WaitForSingleObject(thread_.get(), milliseconds) == WAIT_OBJECT_0;
  }
  void terminate() override {
    if (WaitForSingleObject(thread_.get(), 0) != WAIT_OBJECT_0) TerminateThread(thread_.get(), 0);
  }

 private:
  UniqueHandle thread_;
};
}  // namespace

std::unique_ptr<ManualResetEvent> ManualResetEvent::create(const char* name) {
  UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, name));
  if (!event) return nullptr;
  return std::make_unique<Win32Event>(std::move(event));
}

std::unique_ptr<Thread> Thread::start(std::function<std::uint32_t()> body) {
  auto parameter = std::make_unique<ThreadBody>(std::move(body));
  UniqueHandle thread(CreateThread(nullptr, 0, runThreadBody, parameter.get(), 0, nullptr));
  if (!thread) return nullptr;
  parameter.release();  // the thread owns it now
  return std::make_unique<Win32Thread>(std::move(thread));
}

// ---- Windows and the message loop ----

namespace {
// Window procedures are registered per class; one Win32 procedure serves them
// all, so that the seam's procedure type needs no cast to WNDPROC and no
// exception can unwind through the system's message dispatch.
struct ClassEntry {
  ATOM atom;
  WindowProcedure procedure;
};
std::mutex classesMutex;
std::vector<ClassEntry> classes;

WindowProcedure procedureOf(HWND window) {
  const ATOM atom = static_cast<ATOM>(GetClassWord(window, GCW_ATOM));
  std::lock_guard lock(classesMutex);
  for (const ClassEntry& entry : classes) {
    if (entry.atom == atom) return entry.procedure;
  }
  return nullptr;
}

LRESULT CALLBACK classWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowProcedure procedure = procedureOf(window);
  if (!procedure) return DefWindowProcA(window, message, wParam, lParam);
  try {
    return procedure(window, message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

// Tasks travel as posted messages to a message-only window of the thread that
// runs the loop. A window (rather than a thread message) keeps them running
// while COM pumps messages inside an outgoing call.
constexpr UINT kTaskMessage = WM_APP + 0x100;
constexpr char kTaskClass[] = "ormidPlatformTasks";

using Task = std::function<void()>;

struct TaskQueue {
  std::mutex mutex;
  HWND window = nullptr;
  std::vector<std::unique_ptr<Task>> early;  // posted before the loop existed
};
TaskQueue& taskQueue() {
  static TaskQueue* queue = new TaskQueue;  // outlives every thread that may still post
  return *queue;
}

void runTask(Task* raw) {
  std::unique_ptr<Task> task(raw);
  try {
    (*task)();
  } catch (...) {
    // A task has no one to report to; it must not unwind through the loop.
  }
}

LRESULT CALLBACK taskWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kTaskMessage) {
    runTask(reinterpret_cast<Task*>(lParam));
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND createTaskWindow() {
  static const bool registered = [] {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = taskWindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kTaskClass;
    return RegisterClassA(&windowClass) != 0;
  }();
  if (!registered) return nullptr;
  return CreateWindowExA(0, kTaskClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                         nullptr);
}
}  // namespace

bool registerWindowClass(const char* className, WindowProcedure procedure) {
  WNDCLASSA windowClass{};
  windowClass.style = 0;
  windowClass.lpfnWndProc = classWindowProcedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = className;
  std::lock_guard lock(classesMutex);
  const ATOM atom = RegisterClassA(&windowClass);
  if (atom == 0) return false;
  classes.push_back(ClassEntry{atom, procedure});
  return true;
}

WindowHandle createHiddenWindow(const char* className) {
  return CreateWindowExA(0, className, "", WS_POPUPWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

bool postMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  // A null window would make this a message to the calling thread's own queue,
  // where no loop looks for commands.
  if (!window) return false;
  return PostMessageA(static_cast<HWND>(window), message, wParam, lParam) != 0;
}

std::intptr_t defaultWindowProcedure(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
  return DefWindowProcA(static_cast<HWND>(window), message, wParam, lParam);
}

void postTask(std::function<void()> task) {
  auto owned = std::make_unique<Task>(std::move(task));
  TaskQueue& queue = taskQueue();
  std::lock_guard lock(queue.mutex);
  if (!queue.window) {
    queue.early.push_back(std::move(owned));
    return;
  }
  if (PostMessageA(queue.window, kTaskMessage, 0, reinterpret_cast<LPARAM>(owned.get()))) {
    (void)owned.release();  // the message owns it until it runs
  }
}

struct MessageLoop::Impl {
  MSG current{};
  bool ownsTasks = false;
};

MessageLoop::MessageLoop() : impl_(std::make_unique<Impl>()) {
  TaskQueue& queue = taskQueue();
  std::lock_guard lock(queue.mutex);
  if (queue.window) return;  // another loop serves the tasks
  queue.window = createTaskWindow();
  if (!queue.window) return;
  impl_->ownsTasks = true;
  std::vector<std::unique_ptr<Task>> early = std::exchange(queue.early, {});
  for (auto& task : early) {
    if (PostMessageA(queue.window, kTaskMessage, 0, reinterpret_cast<LPARAM>(task.get()))) {
      (void)task.release();
    }
  }
}

MessageLoop::~MessageLoop() {
  if (!impl_->ownsTasks) return;
  TaskQueue& queue = taskQueue();
  std::lock_guard lock(queue.mutex);
  // Tasks that never ran are freed with the window that carried them.
  MSG pending;
  while (PeekMessageA(&pending, queue.window, kTaskMessage, kTaskMessage, PM_REMOVE)) {
    std::unique_ptr<Task> dropped(reinterpret_cast<Task*>(pending.lParam));
  }
  DestroyWindow(queue.window);
  queue.window = nullptr;
}

int MessageLoop::getMessage() {
  const BOOL result = GetMessageA(&impl_->current, nullptr, 0, 0);
  return result > 0 ? 1 : static_cast<int>(result);
}

std::uint32_t MessageLoop::message() const { return impl_->current.message; }

void MessageLoop::dispatch() {
  TranslateMessage(&impl_->current);
  DispatchMessageA(&impl_->current);
}

}  // namespace ormid::platform
