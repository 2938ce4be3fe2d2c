#include "uno/office_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "host/text/text.h"
#include "ormid/platform/unique_fd.h"
#include "uno/office_text.h"

extern char** environ;

namespace ormid::uno {
namespace {

constexpr char kProfilePrefix[] = "ormid-office-";

// Settings of the private profile: no lock files beside the documents (a
// stale one, left by an office that was killed, would make the next open of
// that file ask a question that nobody answers) and no start-up tips.
constexpr char kProfileSettings[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="UseDocumentOOoLockFile" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="ShowTipOfTheDay" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="FirstRun" oor:op="fuse"><value>false</value></prop></item>
</oor:items>
)";

bool isUtf8Locale(const char* value) {
  if (!value) return false;
  std::string lower(value);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

const char* nonEmpty(const char* value) { return value && *value ? value : nullptr; }

// The environment of the office: the host's, with a UTF-8 character type
// (the office cannot open paths with non-ASCII characters otherwise).
std::vector<std::string> officeEnvironment() {
  const char* effective = nonEmpty(std::getenv("LC_ALL"));
  if (!effective) effective = nonEmpty(std::getenv("LC_CTYPE"));
  if (!effective) effective = nonEmpty(std::getenv("LANG"));
  const bool keepLocale = isUtf8Locale(effective);
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (!keepLocale && std::strncmp(*entry, "LC_ALL=", 7) == 0) continue;
    result.emplace_back(*entry);
  }
  if (!keepLocale) result.emplace_back("LC_ALL=C.UTF-8");
  return result;
}

std::string uniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  char text[64];
  std::snprintf(text, sizeof text, "%d-%u-%08x", static_cast<int>(getpid()), ++counter, random());
  return text;
}

// The office's end of the connection: a socket file that it removes only
// when it ends in good order.
const char* const kSocketDirectories[] = {"/tmp", "/var/tmp"};
std::string socketPrefix() { return "OSL_PIPE_" + std::to_string(getuid()) + "_ormid-"; }

// Removes what offices of hosts no longer running left behind in
// `directory`: entries named `prefix` followed by the host's process id (a
// host killed outright cannot clean up after its office).
void removeLeftovers(const std::string& directory, const std::string& prefix) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) != 0) continue;
    const long owner = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (owner <= 0 || owner == getpid()) continue;
    if (kill(static_cast<pid_t>(owner), 0) == -1 && errno == ESRCH) stale.push_back(directory + "/" + name);
  }
  closedir(dir);
  for (const std::string& path : stale) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

void closeDescriptorsFrom(int first, long limit) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  for (long fd = first; fd < limit; ++fd) close(static_cast<int>(fd));
}

}  // namespace

bool officeInstalled(const std::string& programDir) {
  return access((programDir + "/soffice.bin").c_str(), X_OK) == 0 &&
         access((programDir + "/fundamentalrc").c_str(), R_OK) == 0;
}

bool noDisplay() { return !nonEmpty(std::getenv("DISPLAY")) && !nonEmpty(std::getenv("WAYLAND_DISPLAY")); }

std::string scratchDirectory(std::string& error) {
  if (const char* tmp = nonEmpty(std::getenv("TMPDIR"))) {
    std::string result(tmp);
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
  }
  const std::string result = "/tmp/ormid-" + std::to_string(getuid());
  if (mkdir(result.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + result + ": " + std::strerror(errno);
    return {};
  }
  // Another user could have made it first, to read or replace our profiles.
  struct stat info {};
  if (lstat(result.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      ((info.st_mode & 0077) != 0 && chmod(result.c_str(), 0700) != 0)) {
    error = result + " is not a private directory of this user";
    return {};
  }
  return result;
}

std::unique_ptr<OfficeProcess> OfficeProcess::start(const Options& options, std::string& error) {
  const std::string scratch = scratchDirectory(error);
  if (scratch.empty()) return nullptr;
  removeLeftovers(scratch, kProfilePrefix);
  for (const char* directory : kSocketDirectories) removeLeftovers(directory, socketPrefix());

  std::unique_ptr<OfficeProcess> process(new OfficeProcess());
  process->options_ = options;
  const std::string suffix = uniqueSuffix();
  process->pipeName_ = "ormid-" + suffix;
  std::string pattern = scratch + "/" + kProfilePrefix + std::to_string(getpid()) + "-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    error = "cannot create a profile directory in " + scratch + ": " + std::strerror(errno);
    return nullptr;
  }
  process->profile_ = pattern;
  std::error_code ignored;
  std::filesystem::create_directories(process->profile_ + "/user", ignored);
  std::ofstream(process->profile_ + "/user/registrymodifications.xcu") << kProfileSettings;
  if (!process->launch(error)) return nullptr;  // the destructor removes the profile
  return process;
}

bool OfficeProcess::launch(std::string& error) {
  const std::string binary = options_.programDir + "/soffice.bin";
  const std::string profileUrl = wideToUtf8(fileUrlFromPath(utf8ToWideReplacing(profile_)));
  std::vector<std::string> args = {
      binary,
      "-env:UserInstallation=" + profileUrl,
      "--accept=pipe,name=" + pipeName_ + ";urp;",
      "--norestore",
      "--nologo",
      "--nodefault",
      "--nolockcheck",
      "--nofirststartwizard",
  };
  if (options_.headless) {
    args.emplace_back("--headless");
    args.emplace_back("--invisible");
  }
  const std::vector<std::string> environment = officeEnvironment();
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  const long descriptorLimit = sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1024;
  const platform::UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const pid_t parent = getpid();
  exitCode_.reset();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec. The office dies with
    // the host's thread that started it, so a host that is killed leaves no
    // office behind; it stays in the host's process group for the same reason.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (devNull) dup2(devNull.get(), STDIN_FILENO);
    // The host's standard output may carry its message channel.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    closeDescriptorsFrom(3, descriptorLimit);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &byDefault, nullptr);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (pid_ < 0) {
    error = std::string("cannot start the office: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool OfficeProcess::restart(std::string& error) {
  if (running()) return false;
  return launch(error);
}

bool OfficeProcess::running() {
  if (pid_ <= 0 || exitCode_) return false;
  int status = 0;
  const pid_t result = waitpid(pid_, &status, WNOHANG);
  if (result == 0) return true;
  if (result == pid_) {
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  // Reaped elsewhere (a host that ignores SIGCHLD): only its existence tells.
  if (errno == ECHILD && kill(pid_, 0) == 0) return true;
  exitCode_ = -1;
  return false;
}

bool OfficeProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void OfficeProcess::stop(std::chrono::milliseconds grace) {
  if (running()) {
    kill(pid_, SIGTERM);
    if (!waitForExit(grace)) {
      kill(pid_, SIGKILL);
      waitForExit(std::chrono::seconds(10));
    }
  }
  if (!profile_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(profile_, ignored);
    profile_.clear();
  }
  if (pid_ > 0 && !running()) {
    for (const char* directory : kSocketDirectories) {
      const std::string socket =
          std::string(directory) + "/OSL_PIPE_" + std::to_string(getuid()) + "_" + pipeName_;
      struct stat info {};
      if (lstat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) unlink(socket.c_str());
    }
  }
}

OfficeProcess::~OfficeProcess() { stop(std::chrono::seconds(2)); }

}  // namespace ormid::uno
