#include "host/module_host.h"

namespace ormid {
// The automation servers are separate processes reached through COM.
void installModuleHost() {}
}  // namespace ormid
