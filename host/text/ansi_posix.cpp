// The system code page of a POSIX system is UTF-8; nothing in it lacks a
// character, so only ill-formed input is replaced.
#include "host/text/text.h"

namespace ormid {

std::string toAnsi(std::u16string_view text) { return wideToUtf8(text); }

std::u16string fromAnsi(std::string_view text) { return utf8ToWideReplacing(text); }

}  // namespace ormid
