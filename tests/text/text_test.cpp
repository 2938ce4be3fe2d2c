#include "host/text/text.h"

#include <gtest/gtest.h>
#include <utf8.h>

#include <random>
#include <string>
#include <vector>

namespace ormid {
namespace {

// Placed after a run of ASCII longer than the eight-byte fast path so that a
// sequence is also met where the fast path hands over to the slow one.
const std::string kPad = "0123456789abc";

struct ValidCase {
  std::string utf8;
  std::u16string wide;
};

TEST(TextUtf8ToWide, DecodesWellFormedText) {
  const std::vector<ValidCase> cases = {
      {"", u""},
      {"plain ascii", u"plain ascii"},
      {"\x7F\xC2\x80\xDF\xBF", u"\u007F\u0080\u07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\u0800\uD7FF\uE000\uFFFF"},
      {"\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0001F600\U0010FFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {kPad + "\xC3\xA9" + kPad + "\xF0\x9F\x98\x80", u"0123456789abc\u00E90123456789abc\U0001F600"},
  };
  for (const auto& c : cases) {
    std::u16string out = u"stale";
    ASSERT_TRUE(utf8ToWide(c.utf8, out)) << c.utf8;
    EXPECT_EQ(out, c.wide) << c.utf8;
    EXPECT_EQ(wideToUtf8(c.wide), c.utf8);
  }
}

TEST(TextUtf8ToWide, RejectsMalformedText) {
  const std::vector<std::string> cases = {
      "\xC0\x80",
      "\xC1\xBF",
      "\xE0\x80\x80",
      "\xE0\x9F\xBF",  // overlong
      "\xF0\x80\x80\x80",
      "\xF0\x8F\xBF\xBF",  // overlong
      "\xED\xA0\x80",
      "\xED\xBF\xBF",  // surrogates
      "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80",
      "\xF7\xBF\xBF\xBF",  // above U+10FFFF
      "\xF8\x88\x80\x80\x80",
      "\xFC\x84\x80\x80\x80\x80",
      "\xFE",
      "\xFF",  // no such lead
      "\x80",
      "\xBF",
      "a\x80z",  // lone continuation
      "\xC3",
      "\xE2\x82",
      "\xF0\x9F\x98",  // truncated at the end
      "\xE2\x28\xA1",
      "\xC3\x41",
      "\xF0\x9F\x41\x80",  // truncated inside
  };
  for (const auto& c : cases) {
    std::u16string out;
    EXPECT_FALSE(utf8ToWide(c, out)) << testing::PrintToString(c);
    EXPECT_FALSE(utf8ToWide(kPad + c + kPad, out)) << testing::PrintToString(c);
  }
}

// Every sequence of up to two bytes, and of three and four bytes drawn from
// the bytes where the rules change, is accepted exactly when utfcpp's checked
// decoder accepts it, with the same result.
TEST(TextUtf8ToWide, AgreesWithCheckedReference) {
  const std::vector<unsigned char> edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                            0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                            0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};
  auto check = [](const std::string& bytes) {
    std::u16string expected;
    bool valid = true;
    try {
      utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(expected));
    } catch (const utf8::exception&) {
      valid = false;
    }
    std::u16string out;
    ASSERT_EQ(utf8ToWide(bytes, out), valid) << testing::PrintToString(bytes);
    if (valid) {
      ASSERT_EQ(out, expected) << testing::PrintToString(bytes);
    }
  };
  for (int a = 0; a < 256; ++a) {
    check(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) check({static_cast<char>(a), static_cast<char>(b)});
  }
  for (auto a : edges)
    for (auto b : edges)
      for (auto c : edges) {
        check({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
        for (auto d : edges)
          check({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)});
      }
}

TEST(TextWideToUtf8, ReplacesLoneSurrogates) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {std::u16string(1, 0xD800), fffd},
      {std::u16string(1, 0xDFFF), fffd},
      {std::u16string{0xD83D, u'x'}, fffd + "x"},
      {std::u16string{0xDE00, 0xD83D}, fffd + fffd},  // pair in the wrong order
      {std::u16string{0xD83D, 0xD83D, 0xDE00}, fffd + "\xF0\x9F\x98\x80"},
      {u"abcdefg" + std::u16string(1, 0xDC00) + u"abcdefg", "abcdefg" + fffd + "abcdefg"},
  };
  for (const auto& [wide, utf8] : cases) EXPECT_EQ(wideToUtf8(wide), utf8);
  std::string out = "kept ";
  appendUtf8(out, u"\u00E9\U0001F600");
  EXPECT_EQ(out, "kept \xC3\xA9\xF0\x9F\x98\x80");
}

TEST(TextWideToUtf8, RoundTripsRandomWellFormedText) {
  std::mt19937 random(7);
  const std::vector<char32_t> pool = {U'a',      U'/',      U'\0',         U'\u007F',
                                      U'\u0080', U'\u07FF', U'\u0800',     U'\uD7FF',
                                      U'\uE000', U'\uFFFF', U'\U00010000', U'\U0010FFFF'};
  for (int round = 0; round < 200; ++round) {
    std::u16string wide;
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) {
      char32_t cp = pool[random() % pool.size()];
      if (cp < 0x10000) {
        wide.push_back(static_cast<char16_t>(cp));
      } else {
        wide.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      }
    }
    std::u16string back;
    ASSERT_TRUE(utf8ToWide(wideToUtf8(wide), back));
    EXPECT_EQ(back, wide);
  }
}

#if defined(_WIN32)
TEST(TextAnsi, ConvertsThroughTheCodePage) {
  EXPECT_EQ(toAnsi(u""), "");
  EXPECT_EQ(fromAnsi(""), u"");
  EXPECT_EQ(toAnsi(u"C:\\temp\\report.docx"), "C:\\temp\\report.docx");
  EXPECT_EQ(fromAnsi("C:\\temp\\report.docx"), u"C:\\temp\\report.docx");
}
#else
// The system code page is UTF-8: ill-formed bytes and lone surrogates are
// replaced rather than failing the conversion.
TEST(TextAnsi, ReplacesWhatDoesNotConvert) {
  const std::u16string r(1, 0xFFFD);
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"", u""},
      {"C:\\temp\\r\xC3\xA9sum\xC3\xA9.docx", u"C:\\temp\\r\u00E9sum\u00E9.docx"},
      {"a\x80z", u"a" + r + u"z"},
      {"\xE2\x82", r},  // one replacement for the truncated sequence
      {"\xF0\x9F\x98"
       "A",
       r + u"A"},
      {"\xC0\x80", r + r},  // neither byte starts a well-formed prefix
      {"\xED\xA0\x80", r + r + r},
  };
  for (const auto& [ansi, wide] : cases) EXPECT_EQ(fromAnsi(ansi), wide) << testing::PrintToString(ansi);
  EXPECT_EQ(toAnsi(std::u16string{u'a', 0xD800, u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(toAnsi(u"r\u00E9sum\u00E9"), "r\xC3\xA9sum\xC3\xA9");
}
#endif

TEST(TextAsciiToWide, WidensEachByteUnsigned) {
  EXPECT_EQ(asciiToWide("openEditor"), u"openEditor");
  EXPECT_EQ(asciiToWide("\xE9"), u"\u00E9");
}

}  // namespace
}  // namespace ormid
