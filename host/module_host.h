// Hands the automation servers that run inside the host process the services
// they need: running work on the main thread and writing to the log.
#pragma once

namespace ormid {
void installModuleHost();
}
