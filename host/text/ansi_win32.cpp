// Conversions to and from the process's ANSI code page. Each asks for the
// length first and then converts into a buffer of that size; characters the
// code page lacks become a look-alike or its default character (or, for the
// exact conversion, fail it), undecodable bytes U+FFFD.
#include <windows.h>

#include <climits>

#include "host/text/text.h"

namespace ormid {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide text is UTF-16 on Windows");

namespace {

// The Win32 calls count in int; texts beyond that (never a path or a name)
// fail rather than being silently truncated. `usedDefault`, when given, tells
// whether the code page's default character stood in for anything.
bool narrow(std::u16string_view text, DWORD flags, BOOL* usedDefault, std::string& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const auto* wide = reinterpret_cast<LPCWCH>(text.data());
  const int units = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_ACP, flags, wide, units, nullptr, 0, nullptr, usedDefault);
  if (size <= 0) return false;
  out.resize(static_cast<std::size_t>(size));
  const int written = WideCharToMultiByte(CP_ACP, flags, wide, units, out.data(), size, nullptr, usedDefault);
  if (written != size) out.clear();
  return written == size;
}

}  // namespace

std::string toAnsi(std::u16string_view text) {
  std::string out;
  narrow(text, 0, nullptr, out);
  return out;
}

bool toAnsiExact(std::u16string_view text, std::string& out) {
  // A UTF-8 code page holds every character and refuses both the best-fit
  // flag and the default character report: only a lone surrogate is not exact.
  if (GetACP() == CP_UTF8) return narrow(text, WC_ERR_INVALID_CHARS, nullptr, out);
  // Without best fit every character the code page lacks becomes the default
  // character, which the call reports.
  BOOL usedDefault = FALSE;
  if (narrow(text, WC_NO_BEST_FIT_CHARS, &usedDefault, out) && !usedDefault) return true;
  out.clear();
  return false;
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
