#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

#include "client/host_process.h"
#include "ormid/platform/unique_fd.h"

namespace ormid::client {

namespace {

using platform::UniqueFd;

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
}

class PosixHostProcess final : public HostProcess {
 public:
  PosixHostProcess(pid_t pid, UniqueFd input, UniqueFd output)
      : pid_(pid), input_(std::move(input)), output_(std::move(output)) {}

  ~PosixHostProcess() override {
    closeInput();
    if (!waitForExit(2000)) {
      kill();
      waitForExit(2000);
    }
  }

  bool write(std::string_view bytes) override {
    while (!bytes.empty()) {
      if (input_.get() < 0) return false;
      const ssize_t n = ::write(input_.get(), bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  ReadResult read(std::span<char> into, std::size_t& got, int timeoutMs) override {
    if (output_.get() < 0) return ReadResult::end;
    pollfd fd{output_.get(), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&fd, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return ReadResult::timeout;
    ssize_t n;
    do {
      n = ::read(output_.get(), into.data(), into.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      output_.reset();
      return ReadResult::end;
    }
    got = static_cast<std::size_t>(n);
    return ReadResult::data;
  }

  void closeInput() override { input_.reset(); }

  bool waitForExit(int timeoutMs) override {
    if (pid_ <= 0) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || (done < 0 && errno != EINTR)) {
        pid_ = -1;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void kill() override {
    if (pid_ > 0) ::kill(-pid_, SIGKILL);
  }

 private:
  pid_t pid_;
  UniqueFd input_;
  UniqueFd output_;
};

}  // namespace

std::unique_ptr<HostProcess> HostProcess::start(const std::string& command, bool isShellCommand,
                                                std::string& error) {
  // A host that stops reading must show up as a failed write, not end the client.
  ::signal(SIGPIPE, SIG_IGN);
  UniqueFd toHostRead, toHostWrite, fromHostRead, fromHostWrite, failureRead, failureWrite;
  if (!makePipe(toHostRead, toHostWrite) || !makePipe(fromHostRead, fromHostWrite) ||
      !makePipe(failureRead, failureWrite)) {
    error = std::string("cannot create pipes: ") + std::strerror(errno);
    return nullptr;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("cannot start the host: ") + std::strerror(errno);
    return nullptr;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. A group of its own lets
    // the client end whatever a --host command line started.
    ::setpgid(0, 0);
    ::dup2(toHostRead.get(), STDIN_FILENO);
    ::dup2(fromHostWrite.get(), STDOUT_FILENO);
    if (isShellCommand) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    } else {
      ::execl(command.c_str(), command.c_str(), static_cast<char*>(nullptr));
    }
    const int code = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(failureWrite.get(), &code, sizeof code);
    ::_exit(127);
  }
  failureWrite.reset();
  int code = 0;
  ssize_t n;
  do {
    n = ::read(failureRead.get(), &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof code)) {
    ::waitpid(pid, nullptr, 0);
    error = "cannot run " + command + ": " + std::strerror(code);
    return nullptr;
  }
  return std::make_unique<PosixHostProcess>(pid, std::move(toHostWrite), std::move(fromHostRead));
}

std::string defaultHostPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "ormid-doc-editor";
  std::string self(path, static_cast<std::size_t>(n));
  const auto slash = self.rfind('/');
  return self.substr(0, slash + 1) + "ormid-doc-editor";
}

}  // namespace ormid::client
