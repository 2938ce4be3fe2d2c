// The system code page of a POSIX system is UTF-8; nothing in it lacks a
// character, so only ill-formed input is replaced.
#include "host/text/text.h"

namespace ormid {

std::string toAnsi(std::u16string_view text) { return wideToUtf8(text); }

bool toAnsiExact(std::u16string_view text, std::string& out) {
  out.clear();
  // A lone surrogate is no character: it would be written as U+FFFD, which
  // names another file.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    const bool paired =
        unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (!paired) return false;
    ++i;
  }
  appendUtf8(out, text);
  return true;
}

std::u16string fromAnsi(std::string_view text) { return utf8ToWideReplacing(text); }

}  // namespace ormid
