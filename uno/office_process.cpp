#include "uno/office_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
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
#include <mutex>
#include <random>
#include <sstream>
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

// Children this host left running on their own (the person's office); reaped
// once they end, so that none stays a zombie while the host runs on.
std::mutex detachedMutex;
std::vector<pid_t> detachedChildren;

void reapDetached() {
  std::lock_guard lock(detachedMutex);
  std::erase_if(detachedChildren, [](pid_t pid) {
    const pid_t result = waitpid(pid, nullptr, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
  });
}

// Whether something answers on the local X server socket of `display`
// (":N", ":N.S", "unix:N"); true for displays that are not local sockets,
// which only the office itself can try.
bool displayAnswers(const std::string& display) {
  std::string rest = display;
  if (rest.rfind("unix:", 0) == 0) {
    rest = rest.substr(4);
  } else if (rest.empty() || rest[0] != ':') {
    return true;
  }
  const std::string number = rest.substr(1, rest.find('.') - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string path = "/tmp/.X11-unix/X" + number;
  // The server listens on an abstract socket and on the file; either will do.
  for (const bool abstract : {true, false}) {
    const platform::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) return true;
  }
  return false;
}

// The office's window plugins: any for X11; all but its own X11 one for Wayland.
struct WindowPlugins {
  bool x11 = false;
  bool wayland = false;
};

WindowPlugins windowPlugins(const std::string& programDir) {
  WindowPlugins found;
  DIR* dir = opendir(programDir.c_str());
  if (!dir) return found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("libvclplug_", 0) != 0 || name.find(".so") == std::string::npos) continue;
    found.x11 = true;
    if (name.rfind("libvclplug_gen", 0) != 0) found.wayland = true;
  }
  closedir(dir);
  return found;
}

// Creates `path` (mode 0700) unless it exists; false unless it then is a
// directory of this user.
bool ownDirectory(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
    error = path + " is not a directory of this user";
    return false;
  }
  return true;
}

std::string parentOf(const std::string& path) { return std::filesystem::path(path).parent_path().string(); }

// Beside the person's profile: the process id of its office and what the office writes.
std::string pidFileFor(const std::string& profile) { return parentOf(profile) + "/office.pid"; }
std::string logFileFor(const std::string& profile) { return parentOf(profile) + "/office.log"; }

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

bool canShowWindows(const std::string& programDir, std::string& why) {
  const char* display = nonEmpty(std::getenv("DISPLAY"));
  const char* wayland = nonEmpty(std::getenv("WAYLAND_DISPLAY"));
  if (!display && !wayland) {
    why = "no display is set";
    return false;
  }
  const WindowPlugins plugins = windowPlugins(programDir);
  if (!plugins.x11) {
    why = "a display is set, but the office in " + programDir +
          " has no window plugin (libvclplug_*): it is a build without a user interface";
    return false;
  }
  if (display && displayAnswers(display)) {
    why = std::string("on display ") + display;
    return true;
  }
  if (wayland && plugins.wayland) {
    why = std::string("on Wayland display ") + wayland;
    return true;
  }
  why = display ? std::string("the display ") + display + " cannot be opened"
                : std::string("the office in ") + programDir + " has no window plugin for Wayland";
  return false;
}

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

std::string personalDirectory(std::string& error) {
  std::string config;
  if (const char* xdg = nonEmpty(std::getenv("XDG_CONFIG_HOME")); xdg && xdg[0] == '/') {
    config = xdg;
  } else {
    const char* home = nonEmpty(std::getenv("HOME"));
    if (!home) {
      const passwd* entry = getpwuid(getuid());
      home = entry ? nonEmpty(entry->pw_dir) : nullptr;
    }
    if (!home) {
      error = "no home directory for the office's profile";
      return {};
    }
    config = std::string(home) + "/.config";
  }
  while (config.size() > 1 && config.back() == '/') config.pop_back();
  std::error_code ignored;
  std::filesystem::create_directories(config, ignored);
  const std::string result = config + "/ormid-doc-editor";
  if (!ownDirectory(result, error)) return {};
  return result;
}

std::string personalPipeName(const std::string& profile) {
  // FNV-1a: stable across builds and machines, unlike std::hash.
  std::uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char c : profile) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char text[64];
  std::snprintf(text, sizeof text, "ormid_%u_%016llx", static_cast<unsigned>(getuid()),
                static_cast<unsigned long long>(hash));
  return text;
}

std::unique_ptr<FileLock> FileLock::acquire(const std::string& path, std::chrono::milliseconds timeout,
                                            std::string& error) {
  platform::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      error = "cannot lock " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::unique_ptr<FileLock>(new FileLock(std::move(fd)));
}

std::unique_ptr<OfficeProcess> OfficeProcess::adopt(const Options& options, pid_t pid) {
  if (pid <= 0) {
    std::ifstream file(pidFileFor(options.profile));
    long value = 0;
    if (!(file >> value) || value <= 0) return nullptr;
    pid = static_cast<pid_t>(value);
  }
  std::unique_ptr<OfficeProcess> process(new OfficeProcess());
  process->options_ = options;
  process->pipeName_ = options.pipeName;
  process->profile_ = options.profile;
  process->pid_ = pid;
  process->child_ = false;
  if (!process->running()) {
    process->pid_ = -1;
    return nullptr;
  }
  return process;
}

std::unique_ptr<OfficeProcess> OfficeProcess::start(const Options& options, std::string& error) {
  reapDetached();
  std::unique_ptr<OfficeProcess> process(new OfficeProcess());
  process->options_ = options;
  if (process->personal()) {
    process->pipeName_ = options.pipeName;
    process->profile_ = options.profile;
    std::error_code ignored;
    std::filesystem::create_directories(process->profile_ + "/user", ignored);
    // Only a fresh profile is set up: afterwards the settings are the person's.
    const std::string settings = process->profile_ + "/user/registrymodifications.xcu";
    if (access(settings.c_str(), F_OK) != 0) std::ofstream(settings) << kProfileSettings;
    if (!process->launch(error)) return nullptr;
    return process;
  }

  const std::string scratch = scratchDirectory(error);
  if (scratch.empty()) return nullptr;
  removeLeftovers(scratch, kProfilePrefix);
  for (const char* directory : kSocketDirectories) removeLeftovers(directory, socketPrefix());
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
  // The person's office writes to a file of its own: the host's standard
  // error goes with the host, and writing to it afterwards could end the office.
  const bool personal = this->personal();
  const platform::UniqueFd log(
      personal ? open(logFileFor(profile_).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1);
  const pid_t parent = getpid();
  exitCode_.reset();
  child_ = true;
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    if (personal) {
      // The person's office is nobody's part: a session of its own, so that
      // neither the end of the host nor a signal to its group takes it along.
      setsid();
      const int out = log ? log.get() : devNull.get();
      if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
      }
    } else {
      // A private office dies with the host's thread that started it, so a
      // host that is killed leaves no office behind; it stays in the host's
      // process group for the same reason.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      // The host's standard output may carry its message channel.
      dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    if (devNull) dup2(devNull.get(), STDIN_FILENO);
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
  // For the next host, which finds the person's office on its pipe but needs
  // the process to end it.
  if (personal) std::ofstream(pidFileFor(profile_)) << pid_ << '\n';
  return true;
}

bool OfficeProcess::restart(std::string& error) {
  if (running()) return false;
  return launch(error);
}

bool OfficeProcess::isTheOffice() const {
  std::string cmdline;
  std::getline(std::ifstream("/proc/" + std::to_string(pid_) + "/cmdline"), cmdline, '\x01');
  return cmdline.find("soffice") != std::string::npos &&
         cmdline.find("pipe,name=" + pipeName_ + ";") != std::string::npos;
}

bool OfficeProcess::showsWindows() const {
  std::ifstream maps("/proc/" + std::to_string(pid_) + "/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find("/libvclplug_") != std::string::npos) return true;
  }
  return false;
}

bool OfficeProcess::running() {
  if (pid_ <= 0 || exitCode_) return false;
  if (!child_) {
    // Another host's child: its parent reaps it; only its existence tells.
    if (kill(pid_, 0) == 0 && isTheOffice()) return true;
    exitCode_ = -1;
    return false;
  }
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
  if (!profile_.empty() && !personal()) {
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

void OfficeProcess::detach() {
  if (child_ && pid_ > 0 && running()) {
    std::lock_guard lock(detachedMutex);
    detachedChildren.push_back(pid_);
  }
  pid_ = -1;
}

OfficeProcess::~OfficeProcess() { stop(std::chrono::seconds(2)); }

}  // namespace ormid::uno
