// The module's entry points, looked up by name when the COM layer loads it.
#include <type_traits>

#include "ormid/com_registry.h"
#include "uno/automation.h"
#include "uno/office_process.h"

#define ORMID_EXPORT __attribute__((visibility("default")))

extern "C" ORMID_EXPORT HRESULT ormidCreateApplication(const OrmidModuleHost* host, REFIID iid,
                                                       void** object) {
  return ormid::uno::createApplication(host, iid, object);
}

extern "C" ORMID_EXPORT HRESULT ormidActiveApplication(const OrmidModuleHost* host, REFIID iid,
                                                       void** object) {
  return ormid::uno::createApplication(host, iid, object, ormid::uno::Start::attachOnly);
}

extern "C" ORMID_EXPORT int ormidApplicationAvailable(void) {
  return ormid::uno::officeInstalled(ORMID_OFFICE_PROGRAM_DIR) ? 1 : 0;
}

static_assert(std::is_same_v<decltype(&ormidCreateApplication), OrmidCreateApplication>);
static_assert(std::is_same_v<decltype(&ormidApplicationAvailable), OrmidApplicationAvailable>);
static_assert(std::is_same_v<decltype(&ormidActiveApplication), OrmidActiveApplication>);
