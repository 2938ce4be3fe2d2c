// CLSIDFromProgID and CoCreateInstance over an in-process class registry.
//
// Classes registered by the program come first. Without one, "Word.Application"
// is served by a server module next to the executable, picked by ORMID_EDITOR,
// so that the host finds a word processor exactly when one is there.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "ormid/com_registry.h"

namespace ormid::com {
namespace {

constexpr HRESULT kNoAggregation = static_cast<HRESULT>(0x80040110);  // CLASS_E_NOAGGREGATION
constexpr char16_t kWordProgId[] = u"Word.Application";

// ProgIDs are matched without regard to ASCII case, as the system registry does.
std::u16string foldCase(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

void noTask(void (*)(void*), void*) {}
void noLog(int, const char*, const char*) {}

struct Module {
  OrmidCreateApplication create = nullptr;
  OrmidActiveApplication active = nullptr;  // optional
  bool available = false;
};

struct Registration {
  CLSID clsid;
  ClassFactory factory;
};

struct Registry {
  std::mutex mutex;
  std::map<std::u16string, Registration> classes;  // by folded ProgID
  std::set<std::u16string> withdrawn;              // folded ProgIDs whose default no longer applies
  std::map<std::string, Module> modules;           // by file name; loaded once, never unloaded
  // Modules may keep the host pointer they were given: every host set stays in place.
  std::deque<OrmidModuleHost> hosts{{ORMID_MODULE_HOST_VERSION, noTask, noLog}};
};

Registry& registry() {
  static Registry* instance = new Registry;  // outlives every static destructor that may still create objects
  return *instance;
}

std::string executableDirectory() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(length));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The module file that serves the word processor, or none.
std::optional<std::string> chosenModule() {
  const char* editor = std::getenv("ORMID_EDITOR");
  const std::string choice = editor ? editor : "";
  if (choice == "standin") return "libormid_standin.so";
  if (choice.empty() || choice == "libreoffice") return "libormid_uno.so";
  return std::nullopt;  // "none", or a choice that names no server
}

// Caller holds the registry mutex.
const Module* loadModule(Registry& r, const std::string& file) {
  if (auto found = r.modules.find(file); found != r.modules.end()) return &found->second;
  const std::string directory = executableDirectory();
  if (directory.empty()) return nullptr;
  const std::string path = directory + file;
  if (access(path.c_str(), F_OK) != 0) return nullptr;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  Module module;
  module.create = reinterpret_cast<OrmidCreateApplication>(dlsym(handle, ORMID_MODULE_ENTRY));
  module.active = reinterpret_cast<OrmidActiveApplication>(dlsym(handle, ORMID_MODULE_ACTIVE));
  if (module.create) {
    auto available = reinterpret_cast<OrmidApplicationAvailable>(dlsym(handle, ORMID_MODULE_AVAILABLE));
    module.available = !available || available() != 0;
  }
  return &r.modules.emplace(file, module).first->second;
}

// The module serving the default word processor class, or null when none is there.
// Caller holds the registry mutex.
const Module* defaultServer(Registry& r) {
  if (r.withdrawn.count(foldCase(kWordProgId))) return nullptr;
  const auto file = chosenModule();
  if (!file) return nullptr;
  const Module* module = loadModule(r, *file);
  return module && module->create && module->available ? module : nullptr;
}

}  // namespace

void registerClass(const std::u16string& progId, const CLSID& clsid, ClassFactory factory) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const std::u16string key = foldCase(progId);
  r.withdrawn.erase(key);
  r.classes[key] = Registration{clsid, std::move(factory)};
}

void unregisterClass(const std::u16string& progId) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const std::u16string key = foldCase(progId);
  r.classes.erase(key);
  r.withdrawn.insert(key);
}

void resetRegistry() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.classes.clear();
  r.withdrawn.clear();
}

void setModuleHost(const OrmidModuleHost& host) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  OrmidModuleHost& kept = r.hosts.emplace_back(host);
  if (!kept.postTask) kept.postTask = noTask;
  if (!kept.log) kept.log = noLog;
}

}  // namespace ormid::com

using namespace ormid::com;

HRESULT CoInitialize(void*) { return S_OK; }

void CoUninitialize() {}

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
  if (!progId || !clsid) return E_INVALIDARG;
  Registry& r = registry();
  const std::u16string key = foldCase(progId);
  std::lock_guard lock(r.mutex);
  if (auto found = r.classes.find(key); found != r.classes.end()) {
    *clsid = found->second.clsid;
    return S_OK;
  }
  if (key == foldCase(kWordProgId) && defaultServer(r)) {
    *clsid = CLSID_WordApplication;
    return S_OK;
  }
  return CO_E_CLASSSTRING;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  Registry& r = registry();
  ClassFactory factory;
  OrmidCreateApplication create = nullptr;
  const OrmidModuleHost* host = nullptr;
  {
    std::lock_guard lock(r.mutex);
    for (const auto& [progId, registration] : r.classes) {
      if (registration.clsid == clsid) {
        factory = registration.factory;
        break;
      }
    }
    if (!factory && clsid == CLSID_WordApplication) {
      if (const Module* module = defaultServer(r)) create = module->create;
    }
    host = &r.hosts.back();
  }
  if (!factory && !create) return REGDB_E_CLASSNOTREG;
  if (outer) return kNoAggregation;
  // The factory runs without the lock: it may well create other objects.
  return factory ? factory(iid, object) : create(host, iid, object);
}

HRESULT GetActiveObject(REFCLSID clsid, void*, IUnknown** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  Registry& r = registry();
  OrmidActiveApplication active = nullptr;
  const OrmidModuleHost* host = nullptr;
  {
    std::lock_guard lock(r.mutex);
    // A class a test registered has no running object.
    for (const auto& [progId, registration] : r.classes) {
      if (registration.clsid == clsid) return MK_E_UNAVAILABLE;
    }
    if (clsid == CLSID_WordApplication) {
      if (const Module* module = defaultServer(r)) active = module->active;
    }
    host = &r.hosts.back();
  }
  if (!active) return MK_E_UNAVAILABLE;
  return active(host, IID_IUnknown, reinterpret_cast<void**>(object));
}
