#include <windows.h>

#include <string>
#include <vector>

#include "host/policy/policy_system.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"
#include "ormid/platform/unique_handle.h"
#include "ormid/platform/unique_resource.h"

namespace ormid::policy::system {
namespace {

constexpr const wchar_t* kPolicyKey = L"Software\\Policies\\Ormid\\DocEditor";
constexpr const char* kPolicySource = "HKLM\\Software\\Policies\\Ormid\\DocEditor";

struct KeyTraits {
  using Value = HKEY;
  static HKEY invalid() noexcept { return nullptr; }
  static bool valid(HKEY key) noexcept { return key != nullptr; }
  static bool close(HKEY key) noexcept { return RegCloseKey(key) == ERROR_SUCCESS; }
};
using UniqueKey = platform::UniqueResource<KeyTraits>;

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string utf16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

bool sameName(std::wstring_view a, const wchar_t* b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// The text of a REG_SZ or REG_MULTI_SZ value, without its terminating NULs.
std::wstring valueText(const std::vector<BYTE>& data, DWORD size) {
  std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

// Items of a list: NUL-separated (REG_MULTI_SZ) or ';'-separated (REG_SZ).
void addDirectories(Policy& policy, std::wstring_view list, wchar_t separator) {
  if (!policy.allowedWorkingDirectories) policy.allowedWorkingDirectories.emplace();
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(separator, start);
    if (end == std::wstring_view::npos) end = list.size();
    if (end > start) addAllowedDirectory(policy, utf16(list.substr(start, end - start)));
    start = end + 1;
  }
}

// One value of the key. An empty REG_SZ counts as not set: an installer writes
// one for a setting left empty.
void readValue(Policy& policy, std::wstring_view name, DWORD type, const std::vector<BYTE>& data,
               DWORD size) {
  const bool text = type == REG_SZ;
  if (sameName(name, L"allowedWorkingDirectories")) {
    if (type == REG_MULTI_SZ) return addDirectories(policy, valueText(data, size), L'\0');
    if (text && !valueText(data, size).empty()) return addDirectories(policy, valueText(data, size), L';');
    if (!text) policy.breakWith("allowedWorkingDirectories is neither REG_MULTI_SZ nor REG_SZ");
  } else if (sameName(name, L"maxDocumentBytes")) {
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD value = 0;
      memcpy(&value, data.data(), sizeof value);
      return setMaxDocumentBytes(policy, std::uint64_t{value});
    }
    if (type == REG_QWORD && size == sizeof(std::uint64_t)) {
      std::uint64_t value = 0;
      memcpy(&value, data.data(), sizeof value);
      return setMaxDocumentBytes(policy, value);
    }
    if (text && !valueText(data, size).empty())
      return setMaxDocumentBytes(policy, utf16(valueText(data, size)));
    if (!text) policy.breakWith("maxDocumentBytes is neither REG_DWORD, REG_QWORD nor REG_SZ");
  } else if (sameName(name, L"logLevel")) {
    if (text && !valueText(data, size).empty()) return setLogLevel(policy, utf16(valueText(data, size)));
    if (!text) policy.breakWith("logLevel is not REG_SZ");
  } else if (!name.empty()) {  // the key's default value means nothing here
    policy.breakWith("unknown value " + wideToUtf8(utf16(name)));
  }
}

std::optional<std::wstring> finalPath(HANDLE file) {
  constexpr DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
  if (size == 0) return std::nullopt;
  std::wstring path(size, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(file, path.data(), size, flags);
  if (n == 0 || n >= size) return std::nullopt;
  path.resize(n);
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

}  // namespace

std::optional<Policy> readSystemPolicy() {
  UniqueKey key;
  // The native view first; a policy written by a 32-bit installer lands in the other.
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put());
  if (status == ERROR_FILE_NOT_FOUND) {
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ | KEY_WOW64_32KEY, key.put());
  }
  if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
  Policy policy;
  policy.source = kPolicySource;
  policy.state = Policy::State::active;
  DWORD count = 0;
  DWORD longestName = 0;
  DWORD largestData = 0;
  if (status != ERROR_SUCCESS ||
      RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                       &largestData, nullptr, nullptr) != ERROR_SUCCESS) {
    policy.breakWith("the key cannot be read");
    return policy;
  }
  std::vector<wchar_t> name(longestName + 1);
  std::vector<BYTE> data(largestData + sizeof(wchar_t));
  for (DWORD index = 0; index < count; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueW(key.get(), index, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) !=
        ERROR_SUCCESS) {
      policy.breakWith("a value cannot be read");
      break;
    }
    readValue(policy, std::wstring_view(name.data(), nameSize), type, data, dataSize);
  }
  return policy;
}

std::optional<std::u16string> resolve(const std::string& path) {
  std::wstring request = wide(fromAnsi(path.empty() ? std::string(".") : path));
  // The names as Windows itself reads them: "." and ".." taken away as text,
  // relative to the current directory, '/' as '\'.
  DWORD size = GetFullPathNameW(request.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::nullopt;
  std::wstring head(size, L'\0');
  const DWORD n = GetFullPathNameW(request.c_str(), size, head.data(), nullptr);
  if (n == 0 || n >= size) return std::nullopt;
  head.resize(n);
  // The part that exists, as the file system names it (links and junctions
  // followed, short names long); the rest as written.
  std::vector<std::wstring> tail;
  for (;;) {
    while (head.size() > 3 && head.back() == L'\\') head.pop_back();
    platform::UniqueHandle file(CreateFileW(head.c_str(), 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file) {
      std::optional<std::wstring> resolved = finalPath(file.get());
      if (!resolved) return std::nullopt;
      for (auto it = tail.rbegin(); it != tail.rend(); ++it) {
        if (resolved->empty() || resolved->back() != L'\\') *resolved += L'\\';
        *resolved += *it;
      }
      return utf16(*resolved);
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return std::nullopt;
    // A link whose target is missing: writing through it would create the target.
    if (GetFileAttributesW(head.c_str()) != INVALID_FILE_ATTRIBUTES) return std::nullopt;
    const std::size_t slash = head.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= head.size()) return std::nullopt;
    tail.push_back(head.substr(slash + 1));
    head.resize(slash + 1);  // "C:\" keeps its separator; others lose it above
  }
}

std::optional<std::uint64_t> regularFileSize(const std::string& path) {
  const std::wstring name = wide(fromAnsi(path));
  platform::UniqueHandle file(CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return std::nullopt;
  }
  return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

bool isAbsolute(std::string_view path) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;  // \\server\share
  return path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && separator(path[2]);
}

std::string homeDirectory() { return platform::environment("USERPROFILE"); }

}  // namespace ormid::policy::system
