#include "host/text/text.h"

#include <gtest/gtest.h>
#include <utf8.h>

#include <string>
#include <vector>

namespace ormid {
namespace {

using namespace std::string_literals;

// Placed after a run of ASCII longer than an ASCII block so that a sequence is
// also met where the block-at-a-time path hands over to the slow one.
const std::string kPad = "0123456789abcdefghij";
const std::string kFffd = "\xEF\xBF\xBD";

// Every sequence of up to two bytes, and of three and four bytes drawn from
// the bytes where the rules change, is accepted exactly when utfcpp's checked
// decoder accepts it, with the same result, alone and between runs of ASCII.
TEST(TextUtf8ToWide, AgreesWithCheckedReference) {
  const std::string edges =
      "\x00\x41\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xE1\xEC\xED\xEE\xEF\xF0\xF1\xF3\xF4\xF5\xF7\xF8\xFF"s;
  auto check = [](const std::string& sequence) {
    for (const std::string& bytes : {sequence, kPad + sequence + kPad}) {
      std::u16string expected, out;
      bool valid = true;
      try {
        utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(expected));
      } catch (const utf8::exception&) {
        valid = false;
      }
      ASSERT_EQ(utf8ToWide(bytes, out), valid) << testing::PrintToString(bytes);
      if (valid) {
        ASSERT_EQ(out, expected) << testing::PrintToString(bytes);
      }
    }
  };
  for (int a = 0; a < 256; ++a) {
    check(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) check({static_cast<char>(a), static_cast<char>(b)});
  }
  for (char a : edges)
    for (char b : edges)
      for (char c : edges) {
        check({a, b, c});
        for (char d : edges) check({a, b, c, d});
      }
}

// Lone surrogates anywhere else, and every other encoding, are left to fuzz_text.
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
