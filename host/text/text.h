// Text conversions shared by every module. Wide text is UTF-16 in
// std::u16string on every platform; "ANSI" text is a std::string in the
// system code page (UTF-8 on Linux, CP_ACP on Windows).
#pragma once

#include <string>
#include <string_view>

namespace ormid {

// UTF-8 to UTF-16 with checked decoding: false (and `out` unspecified) when the
// text is not well-formed UTF-8 (invalid or truncated sequence, overlong form,
// surrogate code point, code point above U+10FFFF). Code points above U+FFFF
// become surrogate pairs.
bool utf8ToWide(std::string_view text, std::u16string& out);
// The same, appending to `out` (which keeps what it held, and may hold part of
// the text when false).
bool appendWide(std::u16string& out, std::string_view text);
// Whether utf8ToWide accepts the text, without converting it.
bool isWellFormedUtf8(std::string_view text);
// UTF-8 to UTF-16 that never fails: each maximal ill-formed subsequence
// becomes one U+FFFD.
std::u16string utf8ToWideReplacing(std::string_view text);

// UTF-16 to UTF-8. Never fails: a lone surrogate is written as U+FFFD.
std::string wideToUtf8(std::u16string_view text);
void appendUtf8(std::string& out, std::u16string_view text);
// One step of the above for writers that size their output themselves: writes
// the code unit at `p` (with the next one when the two form a surrogate pair)
// to `out`, which has room for 4 bytes, advances `p` and gives the new end of
// the output.
char* encodeUtf8Unit(char* out, const char16_t*& p, const char16_t* end);

// Wide text to the system code page for text that is only shown (logs,
// events); characters the code page lacks become a look-alike where the system
// knows one ("best fit": Ł becomes L) and its replacement character otherwise.
// Empty stays empty.
std::string toAnsi(std::u16string_view text);
// Wide text to the system code page for names of files and directories, which
// must reach what they name: false (and `out` empty) when the code page cannot
// hold every character as it is, so that a look-alike or the replacement
// character would stand in, or when the text holds a lone surrogate.
bool toAnsiExact(std::u16string_view text, std::string& out);
// System code page to wide text; bytes that do not decode become U+FFFD.
std::u16string fromAnsi(std::string_view text);

// Widens ASCII text (each byte one code unit); for text known to be ASCII.
std::u16string asciiToWide(std::string_view text);

}  // namespace ormid
