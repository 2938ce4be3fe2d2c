// The class registry of the COM layer for systems without COM. It stands for
// the system's class registration: CLSIDFromProgID and CoCreateInstance answer
// from it. By default "Word.Application" is served by an automation server
// module loaded at run time, chosen by the environment variable ORMID_EDITOR
// ("standin": libormid_standin.so; "none": no server); tests may register a
// factory of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ormid/com_api.h"

// What the host offers a server module: it lets the module run work on the
// host's main thread (all automation calls and events happen there) and write
// to the host's log.
extern "C" {
struct OrmidModuleHost {
  std::uint32_t version;  // ORMID_MODULE_HOST_VERSION
  // Runs run(context) on the main thread's message loop; callable from any thread.
  void (*postTask)(void (*run)(void* context), void* context);
  // severity as the host's log numbers it (2 error, 5 debug, 6 verbose); UTF-8 text.
  void (*log)(int severity, const char* function, const char* message);
};
// The entry point a module exports under ORMID_MODULE_ENTRY: creates the
// application object and returns the interface `iid` with one reference.
typedef HRESULT (*OrmidCreateApplication)(const OrmidModuleHost* host, REFIID iid, void** object);
// Optional export under ORMID_MODULE_AVAILABLE: false when the server cannot
// work on this machine (its program is not installed), as an unregistered class.
typedef int (*OrmidApplicationAvailable)(void);
// Optional export under ORMID_MODULE_ACTIVE: the application object of a word
// processor already running for this user, without starting one
// (MK_E_UNAVAILABLE when none runs), as GetActiveObject gives it.
typedef HRESULT (*OrmidActiveApplication)(const OrmidModuleHost* host, REFIID iid, void** object);
}
#define ORMID_MODULE_HOST_VERSION 1u
#define ORMID_MODULE_ENTRY "ormidCreateApplication"
#define ORMID_MODULE_AVAILABLE "ormidApplicationAvailable"
#define ORMID_MODULE_ACTIVE "ormidActiveApplication"

namespace ormid::com {

using ClassFactory = std::function<HRESULT(REFIID iid, void** object)>;

// The CLSID that Word.Application maps to.
inline constexpr CLSID CLSID_WordApplication = {0x000209FF, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Registers (or replaces) a class under a ProgID in this process.
void registerClass(const std::u16string& progId, const CLSID& clsid, ClassFactory factory);
// Removes a ProgID and its class; the environment-based default no longer applies to it.
void unregisterClass(const std::u16string& progId);
// Forgets every registration and returns to the environment-based default.
void resetRegistry();

// Sets the host services handed to modules (before the first CoCreateInstance).
void setModuleHost(const OrmidModuleHost& host);

}  // namespace ormid::com
