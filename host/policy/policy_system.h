// What the policy needs from the operating system: its own source of policy,
// and paths as the file system resolves them. One implementation per platform
// (policy_posix.cpp, policy_win32.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/policy/policy.h"

namespace ormid::policy::system {

// The administrator's policy (POSIX: kSystemPolicyFile; Windows: the values of
// HKLM\Software\Policies\Ormid\DocEditor); nothing when the system has none.
std::optional<Policy> readSystemPolicy();

// Reads and parses a policy file; one that cannot be read is broken. Shared
// by the platforms (policy.cpp).
Policy readPolicyFile(const std::string& path);

// The canonical form of `path` (system code page), as UTF-16: absolute,
// symbolic links followed, "." and ".." gone, the long form of short names.
// A tail that does not exist yet is taken as written. Nothing when the path
// cannot be resolved (a dangling link, a loop, no permission, a device).
std::optional<std::u16string> resolve(const std::string& path);

// The size of a regular file (links followed); nothing for anything else.
std::optional<std::uint64_t> regularFileSize(const std::string& path);

// Whether `path` is absolute ("/..."; "C:\...", "\\server\share\...").
bool isAbsolute(std::string_view path);

// The user's home directory ($HOME; %USERPROFILE% on Windows); empty when unset.
std::string homeDirectory();

}  // namespace ormid::policy::system
