#include <windows.h>

#include <cstdio>
#include <memory>

#include "standin/file_io.h"

namespace ormid::standin {
namespace {

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

std::wstring toNative(std::u16string_view path) { return std::wstring(path.begin(), path.end()); }

// A path from a call that fills a buffer and, when the buffer is too small,
// returns the size it needs; empty when the call fails.
template <class Fill>
std::wstring filled(Fill fill) {
  std::wstring text(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
    if (length == 0) return {};
    const bool fits = length < text.size();
    text.resize(length);
    if (fits) return text;
  }
  return {};  // the path kept growing
}

std::wstring longPath(const std::wstring& path) {
  return filled([&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(path.c_str(), buffer, size); });
}

}  // namespace

bool readWholeFile(const std::u16string& path, std::string& content) {
  if (path.empty()) return false;
  File file(_wfopen(toNative(path).c_str(), L"rb"));
  if (!file) return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    content.append(buffer, got);
    if (got < sizeof buffer) return !std::ferror(file.get());
  }
}

bool writeWholeFile(const std::u16string& path, const std::string& content) {
  if (path.empty()) return false;
  File file(_wfopen(toNative(path).c_str(), L"wb"));
  if (!file) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
  return std::fclose(file.release()) == 0 && written;
}

std::u16string canonicalName(const std::u16string& path) {
  if (path.empty()) return path;
  const std::wstring native = toNative(path);
  const std::wstring full = filled(
      [&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(native.c_str(), size, buffer, nullptr); });
  if (full.empty()) return path;
  std::wstring canonical = longPath(full);
  if (canonical.empty()) {
    // Not there yet: the file keeps the name it is given, in its directory's long form.
    const auto separator = full.find_last_of(L"\\/");
    if (separator != std::wstring::npos) {
      std::wstring directory = longPath(full.substr(0, separator + 1));
      if (!directory.empty()) {
        if (directory.back() != L'\\' && directory.back() != L'/') directory.push_back(L'\\');
        canonical = directory + full.substr(separator + 1);
      }
    }
  }
  if (canonical.empty()) canonical = full;
  return std::u16string(canonical.begin(), canonical.end());
}

bool sameName(std::u16string_view a, std::u16string_view b) {
  const std::wstring first = toNative(a);
  const std::wstring second = toNative(b);
  return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                              static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace ormid::standin
