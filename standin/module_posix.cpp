// The stand-in as a server module for the COM runtime of systems without COM:
// the runtime loads it for "Word.Application" and calls the one exported entry
// point. Faults and the control FIFO come from the environment.
#include <cstdlib>
#include <memory>

#include "ormid/com_registry.h"
#include "standin/standin.h"

namespace {

using ormid::standin::ApplicationOptions;

void runTask(void* context) {
  // Takes the task back whatever happens, so it is freed once run.
  const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(context));
  try {
    (*task)();
  } catch (...) {
    ormid::standin::reportProblem("a user action failed with an exception");
  }
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT ormidCreateApplication(const OrmidModuleHost* host,
                                                                                 REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  try {
    ApplicationOptions options;
    std::vector<std::string> problems;
    options.faults = ormid::standin::parseFaults(environment("ORMID_STANDIN_FAIL"), problems);
    for (const std::string& problem : problems) ormid::standin::reportProblem(problem);
    options.controlPath = environment("ORMID_STANDIN_CONTROL");
    if (host && host->postTask) {
      const auto postTask = host->postTask;
      options.post = [postTask](std::function<void()> task) {
        auto context = std::make_unique<std::function<void()>>(std::move(task));
        postTask(runTask, context.release());
      };
    }
    return ormid::standin::createApplication(options, iid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}
