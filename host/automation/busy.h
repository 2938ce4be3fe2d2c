// A word processor that is busy (starting, or showing a modal dialog) rejects
// incoming calls. A rejected call never ran, so it is safe to make again: the
// calls are retried for a bounded time before they fail.
#pragma once

#include <chrono>

namespace ormid {

// How long one call is retried in all, and how long to wait between tries.
inline constexpr std::chrono::milliseconds kBusyRetryLimit{30'000};
inline constexpr std::chrono::milliseconds kBusyRetryPause{100};

// Registers, for as long as it lives, a message filter on the calling thread
// (which must have entered its apartment) that has the runtime retry rejected
// calls within the limit. Where the runtime never asks a filter (no COM
// runtime between the two sides, or one that does not implement retrying),
// AutomationCall retries rejected calls itself within the same limit.
class BusyCallFilter {
 public:
  BusyCallFilter();
  ~BusyCallFilter();
  BusyCallFilter(const BusyCallFilter&) = delete;
  BusyCallFilter& operator=(const BusyCallFilter&) = delete;

 private:
  bool registered_ = false;
};

// Waits kBusyRetryPause while the thread keeps serving its messages and the
// calls that reach it (events among them).
void pauseBeforeRetry();

}  // namespace ormid
