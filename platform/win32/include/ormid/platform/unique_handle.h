// Owned Win32 kernel handles and blocks the system allocated with LocalAlloc.
#pragma once

#include <windows.h>

#include "ormid/platform/unique_resource.h"

namespace ormid::platform {

// Some functions fail with a null handle, others (CreateFile) with
// INVALID_HANDLE_VALUE: neither is ever closed.
struct HandleTraits {
  using Value = HANDLE;
  static HANDLE invalid() noexcept { return nullptr; }
  static bool valid(HANDLE handle) noexcept { return handle && handle != INVALID_HANDLE_VALUE; }
  static bool close(HANDLE handle) noexcept { return CloseHandle(handle) != 0; }
};

using UniqueHandle = UniqueResource<HandleTraits>;

// What FormatMessage with FORMAT_MESSAGE_ALLOCATE_BUFFER, CommandLineToArgvW
// and their kind hand out for the caller to LocalFree.
template <class T>
struct LocalMemoryTraits {
  using Value = T*;
  static T* invalid() noexcept { return nullptr; }
  static bool valid(T* memory) noexcept { return memory != nullptr; }
  static bool close(T* memory) noexcept { return LocalFree(memory) == nullptr; }
};

template <class T>
using LocalMemory = UniqueResource<LocalMemoryTraits<T>>;

}  // namespace ormid::platform
