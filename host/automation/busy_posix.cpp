// Without a COM runtime between the host and the automation server there is
// no message filter to register: AutomationCall's own retry is all there is.
#include <thread>

#include "host/automation/busy.h"

namespace ormid {

BusyCallFilter::BusyCallFilter() = default;
BusyCallFilter::~BusyCallFilter() = default;

void pauseBeforeRetry() { std::this_thread::sleep_for(kBusyRetryPause); }

}  // namespace ormid
