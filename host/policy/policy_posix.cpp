#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "host/policy/policy_system.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid::policy::system {
namespace {

// realpath(3) of an existing path; nothing for a dangling link, a loop or a
// directory that cannot be searched.
std::optional<std::string> realPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

std::string currentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::string join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

}  // namespace

std::optional<Policy> readSystemPolicy() {
  struct stat st {};
  // Only a file that is not there means no policy; one that cannot be looked
  // at is one that cannot be read.
  if (::stat(kSystemPolicyFile, &st) != 0 && errno == ENOENT) return std::nullopt;
  return readPolicyFile(kSystemPolicyFile);
}

std::optional<std::u16string> resolve(const std::string& path) {
  std::optional<std::string> resolved = realPath(path);
  if (!resolved) {
    // Walk the components: the existing ones as the kernel resolves them
    // (links followed, ".." from where a link led), the ones that do not exist
    // yet as written.
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
      const std::string current = currentDirectory();
      if (current.empty()) return std::nullopt;
      absolute = join(current, absolute);
    }
    std::string existing = "/";
    std::vector<std::string> tail;
    std::size_t start = 0;
    while (start <= absolute.size()) {
      std::size_t end = absolute.find('/', start);
      if (end == std::string::npos) end = absolute.size();
      const std::string component = absolute.substr(start, end - start);
      start = end + 1;
      if (component.empty() || component == ".") continue;
      if (component == "..") {
        if (!tail.empty()) {
          tail.pop_back();
        } else if (existing != "/") {
          const std::size_t slash = existing.rfind('/');  // canonical: absolute
          existing.resize(slash == 0 ? 1 : slash);
        }
        continue;
      }
      if (!tail.empty()) {
        tail.push_back(component);
        continue;
      }
      const std::string candidate = join(existing, component);
      struct stat st {};
      if (::lstat(candidate.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
        tail.push_back(component);
        continue;
      }
      std::optional<std::string> real = realPath(candidate);
      if (!real) return std::nullopt;  // a dangling link would be created through
      existing = std::move(*real);
    }
    resolved = existing;
    for (const std::string& component : tail) resolved = join(*resolved, component);
  }
  std::u16string wide;
  // A name that is not UTF-8 cannot be compared as text: not resolved.
  if (!utf8ToWide(*resolved, wide)) return std::nullopt;
  return wide;
}

std::optional<std::uint64_t> regularFileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool isAbsolute(std::string_view path) { return !path.empty() && path[0] == '/'; }

std::string homeDirectory() { return platform::environment("HOME"); }

}  // namespace ormid::policy::system
