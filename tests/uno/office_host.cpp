#include "tests/uno/office_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

// The office's runtime keeps process-lifetime caches that leak checkers
// report; leaks of our own code show up with the frames of our module.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:/usr/lib/libreoffice/program/libuno_sal.so\n"
         "leak:/usr/lib/libreoffice/program/libuno_cppu.so\n";
}

// The sanitizer runtime of this compiler guesses the bounds of a dynamic TLS
// block from the bytes in front of it; for a block that happens to start 16
// bytes into a page it takes garbage for them, and the leak check at exit
// crashes. The office's libraries, loaded at run time, have such blocks.
// Without the interception their memory stays reachable through the
// thread's own TLS, which is still scanned.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }

namespace ormid::uno {
namespace {

std::mutex tasksMutex;
std::vector<std::pair<void (*)(void*), void*>> tasks;

void postTask(void (*run)(void*), void* context) {
  std::lock_guard lock(tasksMutex);
  tasks.emplace_back(run, context);
}

void logLine(int severity, const char* function, const char* message) {
  std::fprintf(stderr, "[office %d] %s: %s\n", severity, function, message);
}

}  // namespace

const OrmidModuleHost kHost = {ORMID_MODULE_HOST_VERSION, &postTask, &logLine};

OrmidCreateApplication loadModule() {
  static void* module = dlopen(ORMID_UNO_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!module) return nullptr;
  auto available = reinterpret_cast<OrmidApplicationAvailable>(dlsym(module, ORMID_MODULE_AVAILABLE));
  if (!available || !available()) return nullptr;
  return reinterpret_cast<OrmidCreateApplication>(dlsym(module, ORMID_MODULE_ENTRY));
}

bool runPostedTasks() {
  std::vector<std::pair<void (*)(void*), void*>> ready;
  {
    std::lock_guard lock(tasksMutex);
    ready.swap(tasks);
  }
  for (auto& [run, context] : ready) run(context);
  return !ready.empty();
}

std::vector<pid_t> officeChildren() {
  std::vector<pid_t> result;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos || line.find("(soffice") == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == getpid()) result.push_back(pid);
  }
  if (proc) closedir(proc);
  return result;
}

}  // namespace ormid::uno
