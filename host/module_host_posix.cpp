#include <string_view>

#include "host/core/log.h"
#include "host/module_host.h"
#include "ormid/com_registry.h"
#include "ormid/platform/platform.h"

namespace ormid {
namespace {

void postTask(void (*run)(void* context), void* context) {
  platform::postTask([run, context] { run(context); });
}

void writeLog(int severity, const char* function, const char* message) {
  if (severity < static_cast<int>(Severity::fatal) || severity > static_cast<int>(Severity::verbose)) return;
  log::write(static_cast<Severity>(severity), function ? function : "module", 0,
             message ? std::string_view(message) : std::string_view());
}

}  // namespace

void installModuleHost() {
  static const OrmidModuleHost host{ORMID_MODULE_HOST_VERSION, postTask, writeLog};
  com::setModuleHost(host);
}

}  // namespace ormid
