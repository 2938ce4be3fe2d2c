// Conversions to and from the process's ANSI code page. Both ask for the
// length first and then convert into a buffer of that size; characters the
// code page lacks become its default character, undecodable bytes U+FFFD.
#include <windows.h>

#include <climits>

#include "host/text/text.h"

namespace ormid {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide text is UTF-16 on Windows");

// The Win32 calls count in int; texts beyond that (never a path or a name)
// give an empty result rather than a silently truncated one.
std::string toAnsi(std::u16string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const auto* wide = reinterpret_cast<LPCWCH>(text.data());
  const int units = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  const int written = WideCharToMultiByte(CP_ACP, 0, wide, units, out.data(), size, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::u16string fromAnsi(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int bytes = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
  if (size <= 0) return {};
  std::u16string out(static_cast<std::size_t>(size), u'\0');
  const int written =
      MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, reinterpret_cast<LPWSTR>(out.data()), size);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

}  // namespace ormid
