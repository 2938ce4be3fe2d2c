// Reference checks for the fuzz targets, written from the standards' rules
// rather than from the modules under test, so that a fault shared by a module
// and its check is unlikely.
#pragma once

#include <string_view>

namespace ormid::fuzz {

// Well-formed UTF-8: shortest form, no surrogate code points, nothing above U+10FFFF.
bool isWellFormedUtf8(std::string_view text);

// JSON text as RFC 8259 defines it, without leniencies: UTF-8, lower-case
// literals, no raw control characters in strings, no leading zeros, nothing
// after the value but whitespace.
bool isStrictJson(std::string_view text);

// Reports a failed check and aborts, which libFuzzer records as a crash with
// the input that caused it.
[[noreturn]] void fail(const char* check, const char* file, int line);

}  // namespace ormid::fuzz

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::ormid::fuzz::fail(#condition, __FILE__, __LINE__))
