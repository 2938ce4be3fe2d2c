// What the office tests and their helper process share: the module, loaded as
// the host loads it, and the host's side of the module's callbacks.
#pragma once

#include <sys/types.h>

#include <vector>

#include "ormid/com_registry.h"

namespace ormid::uno {

// The module's entry point; null when the module or the office is missing.
OrmidCreateApplication loadModule();

// The host callbacks given to the module: tasks it posts wait for runPostedTasks.
extern const OrmidModuleHost kHost;

// Runs the tasks posted so far on the calling thread, as the host's main
// thread does; false when there were none.
bool runPostedTasks();

// The office processes this process started and has not reaped.
std::vector<pid_t> officeChildren();

}  // namespace ormid::uno
