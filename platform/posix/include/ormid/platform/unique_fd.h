// An owned POSIX file descriptor.
#pragma once

#include <unistd.h>

#include "ormid/platform/unique_resource.h"

namespace ormid::platform {

struct FdTraits {
  using Value = int;
  static int invalid() noexcept { return -1; }
  static bool valid(int fd) noexcept { return fd >= 0; }
  // Even when close fails (EINTR included) the descriptor is gone on Linux:
  // it is never closed a second time.
  static bool close(int fd) noexcept { return ::close(fd) == 0; }
};

using UniqueFd = UniqueResource<FdTraits>;

}  // namespace ormid::platform
