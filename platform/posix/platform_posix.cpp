// POSIX implementation of the operating-system seam.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "ormid/platform/platform.h"
#include "ormid/platform/unique_fd.h"

namespace ormid::platform {

char pathSeparator() { return '/'; }

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

namespace {
// Never the shared /tmp itself: a predictable name there would let another
// local user plant a symlink. A private directory per user instead, which must
// be a real directory of this user; wider permissions are narrowed.
std::string privateTempPath() {
  const uid_t uid = getuid();
  std::string dir = "/tmp/ormid-" + std::to_string(uid);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid) return {};
  if ((st.st_mode & 0077) != 0 && chmod(dir.c_str(), 0700) != 0) return {};
  return dir + '/';
}
}  // namespace

std::string tempPath() {
  std::string fromEnvironment = environment("TMPDIR");
  if (fromEnvironment.empty()) return privateTempPath();
  if (fromEnvironment.back() != '/') fromEnvironment += '/';
  return fromEnvironment;
}

bool createDirectory(const std::string& path) { return mkdir(path.c_str(), 0700) == 0; }

bool deleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void adviseLargeBuffer(void* data, std::size_t size, std::size_t present) {
  constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const auto begin = (start + kLargePage - 1) & ~(kLargePage - 1);
  const auto end = (start + size) & ~(kLargePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  // Pages made present in one call cost a fraction of faulting them in one by
  // one as they are first written (kernels before 5.14 refuse: a hint only).
  present = std::min(present, size);
  if (present == 0) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = start & ~(page - 1);
  madvise(reinterpret_cast<void*>(first), start + present - first, MADV_POPULATE_WRITE);
}

std::string longPathName(const std::string& path) { return path; }

bool samePath(std::u16string_view a, std::u16string_view b) { return a == b; }

// ---- Single instance: an exclusive flock held for the life of the process ----

namespace {
class FlockInstanceLock final : public InstanceLock {
 public:
  explicit FlockInstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;  // closing drops the lock
};

// One try for the lock: acquired, busy, or failed when the file cannot carry
// a lock at all.
LockOutcome tryLock(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockOutcome::acquired;
  return errno == EWOULDBLOCK || errno == EINTR ? LockOutcome::busy : LockOutcome::failed;
}

// The lock file in `directory` after one try for the lock; nothing when it
// cannot be had there.
UniqueFd openLockFile(const std::string& directory, const char* name, LockOutcome& outcome) {
  outcome = LockOutcome::failed;
  if (directory.empty()) return {};
  UniqueFd fd(open((directory + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd) outcome = tryLock(fd.get());
  if (outcome == LockOutcome::failed) fd.reset();
  return fd;
}
}  // namespace

InstanceLockResult acquireInstanceLock(const char* name, std::chrono::milliseconds wait) {
  using namespace std::chrono;
  constexpr milliseconds kPoll{20};
  InstanceLockResult result;
  // A TMPDIR that names no usable directory (or a file system without locks)
  // must not leave the host unguarded: the private directory serves instead.
  UniqueFd fd = openLockFile(tempPath(), name, result.outcome);
  if (!fd) fd = openLockFile(privateTempPath(), name, result.outcome);
  const steady_clock::time_point start = steady_clock::now();
  auto waited = [start] { return duration_cast<milliseconds>(steady_clock::now() - start); };
  while (result.outcome == LockOutcome::busy && waited() < wait) {
    std::this_thread::sleep_for(std::min(kPoll, wait - waited()));
    result.outcome = tryLock(fd.get());
  }
  result.waited = waited();
  if (result.outcome == LockOutcome::acquired)
    result.lock = std::make_unique<FlockInstanceLock>(std::move(fd));
  return result;
}

// ---- Standard streams ----

namespace {
int messageOutputFd = -1;
bool stdoutWasMissing = false;
}  // namespace

void guardStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) stdoutWasMissing = true;
    // The lowest free number is this one, as those below are open by now.
    UniqueFd null(open("/dev/null", O_RDWR));
    if (null.get() == fd) {
      (void)null.release();  // stays open as the standard stream
    } else if (null) {
      dup2(null.get(), fd);  // the copy stays; the spare goes with `null`
    }
  }
}

void setStdinBinary() {}  // no text mode to leave on POSIX

StdioResult redirectStdoutToStderr() {
  // A peer that goes away must end the writes with an error, not the process.
  signal(SIGPIPE, SIG_IGN);
  if (stdoutWasMissing) return StdioResult::noStdout;
  UniqueFd saved(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!saved) return StdioResult::noStdout;
  if (fcntl(STDERR_FILENO, F_GETFD) < 0) return StdioResult::noStderr;
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return StdioResult::redirectFailed;
  messageOutputFd = saved.release();  // for the life of the process
  // A pipe that holds a whole message (the largest a browser takes) lets an
  // answer go out in one write while the browser reads the one before; the
  // system may refuse, and then the default size stays.
  fcntl(messageOutputFd, F_SETPIPE_SZ, 1 << 20);
  return StdioResult::ok;
}

bool writeMessageOutput(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(messageOutputFd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t readStdin(void* data, std::size_t size) { return std::fread(data, 1, size, stdin); }

// ---- Locks, events, threads ----

struct RecursiveLock::Impl {
  std::recursive_mutex mutex;
};
RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::lock() { impl_->mutex.lock(); }
void RecursiveLock::unlock() { impl_->mutex.unlock(); }

namespace {
class PosixEvent final : public ManualResetEvent {
 public:
  void set() override {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    cv_.notify_all();
  }
  void reset() override {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }
  bool wait() override {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::function<std::uint32_t()> body) : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, body = std::move(body)] {
      body();
      std::lock_guard lock(state->mutex);
      state->done = true;
      state->cv.notify_all();
    });
  }
  ~PosixThread() override {
    if (!thread_.joinable()) return;
    if (finished(0)) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  bool waitFor(std::uint32_t milliseconds) override {
    if (!finished(milliseconds)) return false;
    if (thread_.joinable()) thread_.join();
    return true;
  }
  // A thread cannot be killed safely here; the process is about to end, so it
  // is left to end with it.
  void terminate() override {
    if (thread_.joinable()) thread_.detach();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  bool finished(std::uint32_t milliseconds) {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [this] { return state_->done; });
  }
  std::shared_ptr<State> state_;
  std::thread thread_;
};
}  // namespace

std::unique_ptr<ManualResetEvent> ManualResetEvent::create(const char*) {
  return std::make_unique<PosixEvent>();
}

std::unique_ptr<Thread> Thread::start(std::function<std::uint32_t()> body) {
  try {
    return std::make_unique<PosixThread>(std::move(body));
  } catch (...) {
    return nullptr;
  }
}

// ---- Command window: a process-wide queue served by the main thread ----

namespace {
struct Window {
  WindowProcedure procedure;
};

struct QueuedMessage {
  WindowHandle window = nullptr;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  std::function<void()> task;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<QueuedMessage> items;
  std::map<std::string, WindowProcedure> classes;
  std::vector<std::unique_ptr<Window>> windows;  // never destroyed, as the window lives with the process
};

Queue& queue() {
  static Queue* q = new Queue;  // outlives every thread that may still post
  return *q;
}

void push(QueuedMessage item) {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  q.items.push_back(std::move(item));
  q.cv.notify_one();
}
}  // namespace

bool registerWindowClass(const char* className, WindowProcedure procedure) {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  return q.classes.emplace(className, procedure).second;
}

WindowHandle createHiddenWindow(const char* className) {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  auto found = q.classes.find(className);
  if (found == q.classes.end()) return nullptr;
  q.windows.push_back(std::make_unique<Window>(Window{found->second}));
  return q.windows.back().get();
}

bool postMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (!window) return false;
  push(QueuedMessage{window, message, wParam, lParam, {}});
  return true;
}

std::intptr_t defaultWindowProcedure(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) { return 0; }

void postTask(std::function<void()> task) { push(QueuedMessage{nullptr, 0, 0, 0, std::move(task)}); }

struct MessageLoop::Impl {
  QueuedMessage current;
};
MessageLoop::MessageLoop() : impl_(std::make_unique<Impl>()) {}
MessageLoop::~MessageLoop() = default;

int MessageLoop::getMessage() {
  Queue& q = queue();
  std::unique_lock lock(q.mutex);
  q.cv.wait(lock, [&q] { return !q.items.empty(); });
  impl_->current = std::move(q.items.front());
  q.items.pop_front();
  return 1;
}

std::uint32_t MessageLoop::message() const { return impl_->current.message; }

void MessageLoop::dispatch() {
  QueuedMessage& m = impl_->current;
  if (m.task) {
    auto task = std::move(m.task);
    m.task = nullptr;
    task();
    return;
  }
  if (m.window) {
    auto* window = static_cast<Window*>(m.window);
    window->procedure(m.window, m.message, m.wParam, m.lParam);
  }
}

}  // namespace ormid::platform
