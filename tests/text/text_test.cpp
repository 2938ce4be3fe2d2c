#include "host/text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ormid {
namespace {

const std::string kPad = "0123456789abcdefghij";  // longer than an ASCII block
const std::string kFffd = "\xEF\xBF\xBD";

// Decoding and encoding against a reference, and lone surrogates anywhere
// else: fuzz_text.
TEST(TextWideToUtf8, ReplacesALoneSurrogateAfterARunOfAscii) {
  EXPECT_EQ(wideToUtf8(u"0123456789abcdefghij" + std::u16string(1, 0xDC00) + u"a"), kPad + kFffd + "a");
  EXPECT_EQ(asciiToWide("\xE9"), u"\u00E9");  // each byte widened unsigned
}

// The code page of Windows: ormid_windows_ansi_test.
#if !defined(_WIN32)
// The system code page is UTF-8: each maximal ill-formed part becomes one
// replacement character rather than failing the conversion.
TEST(TextAnsi, ReplacesWhatDoesNotConvert) {
  const std::u16string r(1, 0xFFFD);
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"", u""},
      {"r\xC3\xA9sum\xC3\xA9", u"r\u00E9sum\u00E9"},
      {"a\x80z", u"a" + r + u"z"},
      {"\xE2\x82", r},
      {"\xF0\x9F\x98-", r + u"-"},
      {"\xC0\x80", r + r},
      {"\xED\xA0\x80", r + r + r},
  };
  for (const auto& [ansi, wide] : cases) EXPECT_EQ(fromAnsi(ansi), wide) << testing::PrintToString(ansi);
  EXPECT_EQ(toAnsi(std::u16string{u'a', 0xD800, u'b'}), "a" + kFffd + "b");
}

// UTF-8 holds every character; only a lone surrogate, which would become
// U+FFFD, makes the conversion inexact.
TEST(TextAnsi, ExactConversionRefusesOnlyLoneSurrogates) {
  const std::vector<std::pair<std::u16string, bool>> cases = {
      {u"", true},
      {u"\u0141\u00F3d\u017A.docx", true},
      {u"a\U0001F600", true},
      {std::u16string{u'a', 0xD83D}, false},  // high half at the end
      {std::u16string{0xDE00, 0xD83D}, false},
      {std::u16string{0xD83D, 0xD83D, 0xDE00}, false},
  };
  for (const auto& [wide, exact] : cases) {
    std::string out = "stale";
    EXPECT_EQ(toAnsiExact(wide, out), exact) << testing::PrintToString(wideToUtf8(wide));
    EXPECT_EQ(out, exact ? wideToUtf8(wide) : "");
  }
}
#endif

}  // namespace
}  // namespace ormid
